// The DICOM networking module: study-level C-FIND, C-GET into a staging folder and C-STORE of files, over DCMTK's DcmSCU.
#include "pacs/dimse_module.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmdata/dcxfer.h>
#include <dcmtk/dcmnet/cond.h>
#include <dcmtk/dcmnet/dcmtrans.h>
#include <dcmtk/dcmnet/dstorscp.h>
#include <dcmtk/dcmnet/scu.h>

#include <QDate>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <set>
#include <thread>

namespace kelvo::pacs {
namespace {

// A UID as DICOM writes it; anything else from the network never names a file.
bool IsUid(const char* text) {
    static const QRegularExpression uid(QStringLiteral("^[0-9][0-9.]{0,63}$"));
    return text != nullptr && uid.match(QString::fromLatin1(text)).hasMatch();
}

// An SCU that gives up between two messages once canceled, and reports the bytes moved
// and the instances a C-GET brings.
class TScu : public DcmSCU {
public:
    TScu(const std::atomic<bool>* cancel, const TDimseReport* report) : cancel_(cancel), report_(report) {}
    bool Canceled() const { return cancel_ != nullptr && cancel_->load(); }
    int Received() const { return received_; }
    int Refused() const { return refused_; }

    OFCondition handleFINDResponse(const T_ASC_PresentationContextID presID, QRResponse* response,
                                   OFBool& waitForNextResponse) override {
        const OFCondition c = DcmSCU::handleFINDResponse(presID, response, waitForNextResponse);
        if (Canceled()) waitForNextResponse = OFFalse;
        return c;
    }

    OFCondition handleMOVEResponse(const T_ASC_PresentationContextID presID, RetrieveResponse* response,
                                   OFBool& waitForNextResponse) override {
        const OFCondition c = DcmSCU::handleMOVEResponse(presID, response, waitForNextResponse);
        if (Canceled()) waitForNextResponse = OFFalse;
        return c;
    }

    OFCondition handleCGETResponse(const T_ASC_PresentationContextID presID, RetrieveResponse* response,
                                   OFBool& continueCGETSession) override {
        const OFCondition c = DcmSCU::handleCGETResponse(presID, response, continueCGETSession);
        if (Canceled()) continueCGETSession = OFFalse;
        return c;
    }

    OFCondition handleSTORERequestFile(T_ASC_PresentationContextID* presID, const OFString& filename,
                                       T_DIMSE_C_StoreRQ* request) override {
        // The session only ends on a failed message: a refusal is how a cancel gets through
        // a server that sends no pending C-GET responses.
        if (Canceled()) return makeOFCondition(OFM_dcmnet, 0, OF_error, "canceled");
        const bool usable = IsUid(request->AffectedSOPInstanceUID);
        OFString name = filename;
        if (!usable) OFStandard::combineDirAndFilename(name, getStorageDir(), "unnamed.part", OFTrue);
        bytes_ = reported_ = 0;
        const OFCondition c = DcmSCU::handleSTORERequestFile(presID, name, request);
        const QFileInfo file(QString::fromLocal8Bit(name.c_str()));
        if (c.good() && usable && file.exists()) {
            ++received_;
            Report({file.size(), QString::fromLatin1(request->AffectedSOPInstanceUID), file.filePath()});
        } else {
            ++refused_;
        }
        return c;
    }

    void notifyRECEIVEProgress(const unsigned long byteCount) override { Moved(byteCount); }
    void notifySENDProgress(const unsigned long byteCount) override { Moved(byteCount); }
    void Report(const TDimseEvent& event) const {
        if (report_ != nullptr && *report_) (*report_)(event);
    }
    void Sent(const QString& sopUid) { Report({bytes_, sopUid, {}}), bytes_ = 0, reported_ = 0; }

private:
    // Every PDV calls in; the GUI hears of a megabyte at a time.
    void Moved(unsigned long byteCount) {
        bytes_ = static_cast<int64_t>(byteCount);
        if (bytes_ - reported_ < (int64_t{1} << 20)) return;
        reported_ = bytes_;
        Report({bytes_, {}, {}});
    }

    const std::atomic<bool>* cancel_;
    const TDimseReport* report_;
    int64_t bytes_ = 0, reported_ = 0;
    int received_ = 0, refused_ = 0;
};

QString Get(DcmItem& item, const DcmTagKey& tag) {
    OFString value;
    // All values of a multi-valued attribute, backslash-separated.
    item.findAndGetOFStringArray(tag, value);
    return QString::fromUtf8(value.c_str()).trimmed();
}

TStudyRow Row(DcmItem& item) {
    TStudyRow row;
    row.PatientName = Get(item, DCM_PatientName);
    row.PatientId = Get(item, DCM_PatientID);
    row.StudyUid = Get(item, DCM_StudyInstanceUID);
    row.Date = QDate::fromString(Get(item, DCM_StudyDate), QStringLiteral("yyyyMMdd"));
    row.Time = Get(item, DCM_StudyTime);
    row.Description = Get(item, DCM_StudyDescription);
    row.Accession = Get(item, DCM_AccessionNumber);
    row.Modalities = Get(item, DCM_ModalitiesInStudy).split(QLatin1Char('\\'), Qt::SkipEmptyParts);
    bool ok = false;
    row.Series = Get(item, DCM_NumberOfStudyRelatedSeries).toInt(&ok);
    if (!ok) row.Series = -1;
    row.Instances = Get(item, DCM_NumberOfStudyRelatedInstances).toInt(&ok);
    if (!ok) row.Instances = -1;
    return row;
}

// The query keys: matched where the query has a value, returned (empty) everywhere.
void Keys(DcmDataset& keys, const TStudyQuery& query) {
    const auto day = [](const QDate& d) { return d.isValid() ? d.toString(QStringLiteral("yyyyMMdd")) : QString(); };
    const QString dates = (query.From.isValid() || query.To.isValid())
                              ? (query.From == query.To ? day(query.From) : day(query.From) + "-" + day(query.To))
                              : QString();
    const std::pair<DcmTagKey, QString> fields[] = {
        {DCM_QueryRetrieveLevel, QStringLiteral("STUDY")},
        {DCM_SpecificCharacterSet, QStringLiteral("ISO_IR 192")},
        {DCM_PatientName, query.PatientName},
        {DCM_PatientID, query.PatientId},
        {DCM_StudyDate, dates},
        {DCM_StudyTime, {}},
        {DCM_StudyInstanceUID, {}},
        {DCM_StudyDescription, {}},
        {DCM_AccessionNumber, query.Accession},
        {DCM_ModalitiesInStudy, query.Modality},
        {DCM_NumberOfStudyRelatedSeries, {}},
        {DCM_NumberOfStudyRelatedInstances, {}},
    };
    for (const auto& [tag, value] : fields) keys.putAndInsertString(tag, value.toUtf8().constData());
}

template <typename Result = TDimseFindResult>
Result Failed(TPacsError kind, const OFCondition& c) {
    Result r;
    r.Kind = kind;
    r.Detail = QString::fromLocal8Bit(c.text());
    return r;
}

// The kind of a failed association or exchange, by DCMTK's condition codes.
TPacsError KindOf(const OFCondition& c) {
    if (c.module() == OFM_dcmnet && c.code() == DULC_TCPINITERROR) return TPacsError::Refused;
    if (c.module() == OFM_dcmnet && c.code() == DULC_ASSOCIATIONREJECTED) return TPacsError::Forbidden;
    if (c == DIMSE_NODATAAVAILABLE || c == DUL_READTIMEOUT) return TPacsError::TimedOut;
    return TPacsError::Unreachable;
}

void Configure(TScu& scu, const TDicomNode& node, int timeoutSeconds) {
    scu.setAETitle(node.OurAeTitle.toStdString().c_str());
    scu.setPeerAETitle(node.AeTitle.toStdString().c_str());
    scu.setPeerHostName(node.Host.toStdString().c_str());
    scu.setPeerPort(node.Port);
    scu.setConnectionTimeout(timeoutSeconds);
    scu.setACSETimeout(static_cast<Uint32>(timeoutSeconds));
    // Non-blocking DIMSE waits time out between two PDUs, not over the whole exchange:
    // a large study that keeps arriving is waited for.
    scu.setDIMSEBlockingMode(DIMSE_NONBLOCKING);
    scu.setDIMSETimeout(static_cast<Uint32>(timeoutSeconds));
    // A peer that stops reading stalls a send: the socket gives up after the same
    // silence. DCMTK keeps this for the process; the program's requests share one value.
    dcmSocketSendTimeout.set(timeoutSeconds);
}

OFList<OFString> Syntaxes(std::initializer_list<const char*> uids) {
    OFList<OFString> list;
    for (const char* uid : uids)
        if (std::find(list.begin(), list.end(), OFString(uid)) == list.end()) list.push_back(uid);
    return list;
}

// Opens the network and the association; the failure's kind and words, or None.
template <typename Result>
bool Associate(TScu& scu, Result& failure) {
    OFCondition c = scu.initNetwork();
    if (c.bad()) return failure = Failed<Result>(TPacsError::Unreachable, c), false;
    c = scu.negotiateAssociation();
    if (c.bad()) return failure = Failed<Result>(KindOf(c), c), false;
    return true;
}

// A Study Root C-FIND with `keys`; each pending answer's data set goes to `take`.
template <typename Result, typename Take>
Result Find(const TDicomNode& node, DcmDataset& keys, int timeoutSeconds, const std::atomic<bool>* cancel, Take take) {
    TScu scu(cancel, nullptr);
    Configure(scu, node, timeoutSeconds);
    scu.addPresentationContext(
        UID_FINDStudyRootQueryRetrieveInformationModel,
        Syntaxes({UID_LittleEndianExplicitTransferSyntax, UID_LittleEndianImplicitTransferSyntax}));
    Result result;
    if (!Associate(scu, result)) return result;
    const T_ASC_PresentationContextID context = scu.findPresentationContextID(UID_FINDStudyRootQueryRetrieveInformationModel, "");
    if (context == 0) {
        scu.releaseAssociation();
        return Failed<Result>(TPacsError::Forbidden, makeOFCondition(OFM_dcmnet, 0, OF_error, "no search accepted"));
    }
    OFList<QRResponse*> responses;
    const OFCondition c = scu.sendFINDRequest(context, &keys, &responses);
    for (QRResponse* response : responses) {
        if (response->m_dataset != nullptr && (response->m_status == STATUS_Pending || response->m_status == 0xFF01)) {
            take(*response->m_dataset, result);
        } else if (response->m_status != STATUS_Success && result.Kind == TPacsError::None && !scu.Canceled()) {
            result.Kind = TPacsError::ServerError;
            result.Detail = QStringLiteral("C-FIND status %1").arg(response->m_status, 4, 16, QLatin1Char('0'));
        }
        delete response;
    }
    if (scu.Canceled()) {
        scu.abortAssociation();
        return Failed<Result>(TPacsError::Canceled, EC_Normal);
    }
    if (c.bad()) {
        scu.abortAssociation();
        return Failed<Result>(KindOf(c), c);
    }
    scu.releaseAssociation();
    return result;
}

TDimseFindResult FindStudies(const TDicomNode& node, const TStudyQuery& query, int timeoutSeconds,
                             const std::atomic<bool>* cancel) {
    DcmDataset keys;
    Keys(keys, query);
    TDimseFindResult result = Find<TDimseFindResult>(node, keys, timeoutSeconds, cancel, [](DcmItem& item, auto& r) {
        TStudyRow row = Row(item);
        if (!row.StudyUid.isEmpty()) r.Rows.push_back(std::move(row));
    });
    SortByDate(result.Rows);
    return result;
}

TDimseSeriesResult FindSeries(const TDicomNode& node, const QString& studyUid, int timeoutSeconds,
                              const std::atomic<bool>* cancel) {
    DcmDataset keys;
    keys.putAndInsertString(DCM_QueryRetrieveLevel, "SERIES");
    keys.putAndInsertString(DCM_SpecificCharacterSet, "ISO_IR 192");
    keys.putAndInsertString(DCM_StudyInstanceUID, studyUid.toLatin1().constData());
    for (const DcmTagKey& tag : {DCM_SeriesInstanceUID, DCM_Modality, DCM_SeriesDescription, DCM_SeriesNumber,
                                 DCM_NumberOfSeriesRelatedInstances})
        keys.insertEmptyElement(tag);
    TDimseSeriesResult result =
        Find<TDimseSeriesResult>(node, keys, timeoutSeconds, cancel, [](DcmItem& item, auto& r) {
            bool ok = false;
            TSeriesRow row{Get(item, DCM_SeriesInstanceUID), Get(item, DCM_Modality), Get(item, DCM_SeriesDescription),
                           -1, -1};
            row.Number = Get(item, DCM_SeriesNumber).toInt(&ok);
            if (!ok) row.Number = -1;
            row.Instances = Get(item, DCM_NumberOfSeriesRelatedInstances).toInt(&ok);
            if (!ok) row.Instances = -1;
            if (!row.SeriesUid.isEmpty()) r.Rows.push_back(std::move(row));
        });
    SortByNumber(result.Rows);
    return result;
}

// The classes a C-GET takes in: grey-scale pictures, and the reports and presentation
// states that go with them.
constexpr const char* kPictureClasses[] = {UID_CTImageStorage,
                                           UID_EnhancedCTImageStorage,
                                           UID_MRImageStorage,
                                           UID_EnhancedMRImageStorage,
                                           UID_ComputedRadiographyImageStorage,
                                           UID_DigitalXRayImageStorageForPresentation,
                                           UID_DigitalXRayImageStorageForProcessing,
                                           UID_DigitalMammographyXRayImageStorageForPresentation,
                                           UID_UltrasoundImageStorage,
                                           UID_UltrasoundMultiframeImageStorage,
                                           UID_SecondaryCaptureImageStorage,
                                           UID_MultiframeGrayscaleByteSecondaryCaptureImageStorage,
                                           UID_MultiframeGrayscaleWordSecondaryCaptureImageStorage,
                                           UID_XRayAngiographicImageStorage,
                                           UID_XRayRadiofluoroscopicImageStorage,
                                           UID_NuclearMedicineImageStorage,
                                           UID_PositronEmissionTomographyImageStorage};
constexpr const char* kDocumentClasses[] = {UID_BasicTextSRStorage, UID_EnhancedSRStorage, UID_ComprehensiveSRStorage,
                                            UID_KeyObjectSelectionDocumentStorage,
                                            UID_GrayscaleSoftcopyPresentationStateStorage};

// The end of a C-GET or C-STORE after its last message.
TDimseTransferResult Ended(TScu& scu, const OFCondition& c, TDimseTransferResult result) {
    if (scu.Canceled()) {
        scu.abortAssociation();
        return Failed<TDimseTransferResult>(TPacsError::Canceled, EC_Normal);
    }
    if (c.bad()) {
        scu.abortAssociation();
        TDimseTransferResult failed = Failed<TDimseTransferResult>(KindOf(c), c);
        failed.Done = result.Done;
        return failed;
    }
    scu.releaseAssociation();
    return result;
}

TDimseTransferResult Retrieve(const TDicomNode& node, const QString& studyUid, const QString& seriesUid,
                              const QString& stagingDir, int timeoutSeconds, const std::atomic<bool>* cancel,
                              const TDimseReport& report) {
    TScu scu(cancel, &report);
    Configure(scu, node, timeoutSeconds);
    scu.setStorageMode(DCMSCU_STORAGE_BIT_PRESERVING);
    scu.setStorageDir(QFile::encodeName(stagingDir).constData());
    const OFList<OFString> plain =
        Syntaxes({UID_LittleEndianExplicitTransferSyntax, UID_LittleEndianImplicitTransferSyntax});
    scu.addPresentationContext(UID_GETStudyRootQueryRetrieveInformationModel, plain);
    // C-GET brings the instances back on this association, so we take the storage role
    // for their classes. The server sends an instance as it keeps it only where a context
    // has its encoding (it may not be able to transcode, as with JPEG 2000 in Orthanc),
    // and a context takes one encoding: so one context per encoding the reader decodes,
    // for the pictures' classes; reports and presentation states are never compressed.
    // 128 contexts at most, one of them the C-GET's.
    for (const char* sopClass : kPictureClasses)
        for (const char* syntax :
             {UID_JPEGProcess14SV1TransferSyntax, UID_JPEGProcess1TransferSyntax,
              UID_JPEG2000LosslessOnlyTransferSyntax, UID_JPEG2000TransferSyntax, UID_RLELosslessTransferSyntax})
            scu.addPresentationContext(sopClass, Syntaxes({syntax}), ASC_SC_ROLE_SCP);
    for (const char* sopClass : kPictureClasses) scu.addPresentationContext(sopClass, plain, ASC_SC_ROLE_SCP);
    for (const char* sopClass : kDocumentClasses) scu.addPresentationContext(sopClass, plain, ASC_SC_ROLE_SCP);
    TDimseTransferResult result;
    if (!Associate(scu, result)) return result;
    const T_ASC_PresentationContextID context =
        scu.findPresentationContextID(UID_GETStudyRootQueryRetrieveInformationModel, "");
    if (context == 0) {
        scu.releaseAssociation();
        return Failed<TDimseTransferResult>(TPacsError::Forbidden,
                                            makeOFCondition(OFM_dcmnet, 0, OF_error, "no retrieve accepted"));
    }
    DcmDataset keys;
    keys.putAndInsertString(DCM_QueryRetrieveLevel, seriesUid.isEmpty() ? "STUDY" : "SERIES");
    keys.putAndInsertString(DCM_StudyInstanceUID, studyUid.toLatin1().constData());
    if (!seriesUid.isEmpty()) keys.putAndInsertString(DCM_SeriesInstanceUID, seriesUid.toLatin1().constData());
    OFList<RetrieveResponse*> responses;
    const OFCondition c = scu.sendCGETRequest(context, &keys, &responses);
    Uint16 status = STATUS_Success;
    for (RetrieveResponse* response : responses) {
        if (response->m_status != STATUS_Pending) status = response->m_status;
        delete response;
    }
    result.Done = scu.Received();
    result.Failed = scu.Refused();
    if (c.good() && !scu.Canceled()) {
        // Warning B000: some sub-operations failed; the others are here.
        if (status != STATUS_Success && status != 0xB000) {
            result.Kind = TPacsError::ServerError;
            result.Detail = QStringLiteral("C-GET status %1").arg(status, 4, 16, QLatin1Char('0'));
        } else if (result.Done == 0) {
            result.Kind = TPacsError::NotFound;
        } else if (result.Failed > 0 || status == 0xB000) {
            result.Kind = TPacsError::Truncated;
            result.Detail = QStringLiteral("%1 of the instances did not come").arg(result.Failed);
        }
    }
    return Ended(scu, c, result);
}

// Our storage listener for a C-MOVE: takes the pictures' and reports' classes, writes
// each instance into the staging folder and reports it; stops once told, or canceled.
class TMoveDestination : public DcmStorageSCP {
public:
    TMoveDestination(const std::atomic<bool>* cancel, const TDimseReport* report) : cancel_(cancel), report_(report) {}
    std::atomic<bool> Stop{false};
    int Received() const { return received_.load(); }

protected:
    OFBool stopAfterConnectionTimeout() override { return Stop.load() || cancel_->load(); }
    OFBool stopAfterCurrentAssociation() override { return Stop.load() || cancel_->load(); }
    OFCondition generateSTORERequestFilename(const T_DIMSE_C_StoreRQ& request, OFString& filename) override {
        if (!IsUid(request.AffectedSOPInstanceUID))
            return makeOFCondition(OFM_dcmnet, 0, OF_error, "an instance without a usable UID");
        OFStandard::combineDirAndFilename(filename, getOutputDirectory(), request.AffectedSOPInstanceUID, OFTrue);
        return EC_Normal;
    }
    void notifyInstanceStored(const OFString& filename, const OFString&, const OFString& sopInstanceUID,
                              DcmDataset*) const override {
        const QFileInfo file(QString::fromLocal8Bit(filename.c_str()));
        if (!IsUid(sopInstanceUID.c_str()) || !file.exists()) return;
        ++received_;
        if (*report_) (*report_)({file.size(), QString::fromLatin1(sopInstanceUID.c_str()), file.filePath()});
    }

private:
    const std::atomic<bool>* cancel_;
    const TDimseReport* report_;
    mutable std::atomic<int> received_{0};
};

// The same as Retrieve, by C-MOVE to our own listener at node.OurPort: the PACS must
// know our AE title with this machine's address and that port.
TDimseTransferResult Move(const TDicomNode& node, const QString& studyUid, const QString& seriesUid,
                          const QString& stagingDir, int timeoutSeconds, const std::atomic<bool>* cancel,
                          const TDimseReport& report) {
    TMoveDestination destination(cancel, &report);
    destination.setAETitle(node.OurAeTitle.toStdString().c_str());
    destination.setPort(node.OurPort);
    destination.setOutputDirectory(QFile::encodeName(stagingDir).constData());
    destination.setDatasetStorageMode(DcmStorageSCP::DGM_StoreBitPreserving);
    // Non-blocking, so that it looks at the stop flag every second between connections.
    destination.setConnectionBlockingMode(DUL_NOBLOCK);
    destination.setConnectionTimeout(1);
    destination.setDIMSEBlockingMode(DIMSE_NONBLOCKING);
    destination.setDIMSETimeout(static_cast<Uint32>(timeoutSeconds));
    destination.setACSETimeout(static_cast<Uint32>(timeoutSeconds));
    const OFList<OFString> syntaxes =
        Syntaxes({UID_LittleEndianExplicitTransferSyntax, UID_LittleEndianImplicitTransferSyntax,
                  UID_JPEGProcess14SV1TransferSyntax, UID_JPEGProcess1TransferSyntax,
                  UID_JPEG2000LosslessOnlyTransferSyntax, UID_JPEG2000TransferSyntax, UID_RLELosslessTransferSyntax});
    for (const char* sopClass : kPictureClasses) destination.addPresentationContext(sopClass, syntaxes);
    for (const char* sopClass : kDocumentClasses) destination.addPresentationContext(sopClass, syntaxes);
    OFCondition c = destination.openListenPort();
    if (c.bad()) return Failed<TDimseTransferResult>(TPacsError::LocalFile, c); // our port is taken, say
    std::thread listening([&destination] { destination.acceptAssociations(); });

    TScu scu(cancel, &report);
    Configure(scu, node, timeoutSeconds);
    scu.addPresentationContext(
        UID_MOVEStudyRootQueryRetrieveInformationModel,
        Syntaxes({UID_LittleEndianExplicitTransferSyntax, UID_LittleEndianImplicitTransferSyntax}));
    TDimseTransferResult result;
    Uint16 status = STATUS_Success;
    if (Associate(scu, result)) {
        const T_ASC_PresentationContextID context =
            scu.findPresentationContextID(UID_MOVEStudyRootQueryRetrieveInformationModel, "");
        DcmDataset keys;
        keys.putAndInsertString(DCM_QueryRetrieveLevel, seriesUid.isEmpty() ? "STUDY" : "SERIES");
        keys.putAndInsertString(DCM_StudyInstanceUID, studyUid.toLatin1().constData());
        if (!seriesUid.isEmpty()) keys.putAndInsertString(DCM_SeriesInstanceUID, seriesUid.toLatin1().constData());
        OFList<RetrieveResponse*> responses;
        c = context == 0 ? makeOFCondition(OFM_dcmnet, 0, OF_error, "no retrieve accepted")
                         : scu.sendMOVERequest(context, node.OurAeTitle.toStdString().c_str(), &keys, &responses);
        for (RetrieveResponse* response : responses) {
            if (response->m_status != STATUS_Pending) status = response->m_status;
            delete response;
        }
    }
    // The PACS has sent everything before its final answer; the listener ends with it.
    destination.Stop = true;
    listening.join();
    if (result.Kind != TPacsError::None) return result;
    result.Done = destination.Received();
    if (c.good() && !scu.Canceled()) {
        if (status != STATUS_Success && status != 0xB000) {
            result.Kind = TPacsError::ServerError;
            result.Detail = QStringLiteral("C-MOVE status %1").arg(status, 4, 16, QLatin1Char('0'));
        } else if (result.Done == 0) {
            result.Kind = TPacsError::NotFound;
        }
    }
    return Ended(scu, c, result);
}

// The SOP class, instance and transfer syntax of a file, from its meta header (or its
// data set when it has none).
bool Identify(const QString& file, OFString& sopClass, OFString& sopInstance, OFString& syntax) {
    DcmFileFormat format;
    const OFFilename name(QFile::encodeName(file).constData());
    if (format.loadFile(name, EXS_Unknown, EGL_noChange, 256, ERM_autoDetect).bad()) return false;
    DcmMetaInfo& meta = *format.getMetaInfo();
    DcmDataset& data = *format.getDataset();
    if (meta.findAndGetOFString(DCM_MediaStorageSOPClassUID, sopClass).bad())
        data.findAndGetOFString(DCM_SOPClassUID, sopClass);
    if (meta.findAndGetOFString(DCM_MediaStorageSOPInstanceUID, sopInstance).bad())
        data.findAndGetOFString(DCM_SOPInstanceUID, sopInstance);
    if (meta.findAndGetOFString(DCM_TransferSyntaxUID, syntax).bad())
        syntax = DcmXfer(data.getOriginalXfer()).getXferID();
    return !sopClass.empty() && !sopInstance.empty();
}

TDimseTransferResult Store(const TDicomNode& node, const QStringList& files, int timeoutSeconds,
                           const std::atomic<bool>* cancel, const TDimseReport& report) {
    TScu scu(cancel, &report);
    Configure(scu, node, timeoutSeconds);
    struct TFile {
        QString Path;
        OFString SopClass, SopInstance, Syntax;
    };
    std::vector<TFile> sending;
    // Each kind of instance as it is, in a context of its own so that the server cannot
    // choose another encoding for it; and plain, for a server that does not take it.
    std::set<std::pair<OFString, OFString>> contexts;
    for (const QString& path : files) {
        TFile file{path, {}, {}, {}};
        if (!Identify(path, file.SopClass, file.SopInstance, file.Syntax))
            return Failed<TDimseTransferResult>(
                TPacsError::LocalFile,
                makeOFCondition(OFM_dcmnet, 0, OF_error, QFile::encodeName(path + ": not a DICOM file").constData()));
        contexts.insert({file.SopClass, file.Syntax});
        contexts.insert({file.SopClass, UID_LittleEndianExplicitTransferSyntax});
        sending.push_back(std::move(file));
    }
    if (contexts.size() > 128)
        return Failed<TDimseTransferResult>(
            TPacsError::LocalFile, makeOFCondition(OFM_dcmnet, 0, OF_error, "more than 128 kinds of instance"));
    for (const auto& [sopClass, syntax] : contexts) scu.addPresentationContext(sopClass, Syntaxes({syntax.c_str()}));
    TDimseTransferResult result;
    if (!Associate(scu, result)) return result;
    OFCondition c = EC_Normal;
    for (const TFile& file : sending) {
        if (scu.Canceled()) break;
        T_ASC_PresentationContextID context = scu.findPresentationContextID(file.SopClass, file.Syntax);
        if (context == 0) context = scu.findAnyPresentationContextID(file.SopClass, file.Syntax);
        if (context == 0) {
            ++result.Failed;
            continue;
        }
        Uint16 status = 0;
        c = scu.sendSTORERequest(context, OFFilename(QFile::encodeName(file.Path).constData()), nullptr, status);
        if (c.bad()) break;
        // 0000 stored; Bxxx stored with a warning; the rest refused.
        if (status == STATUS_Success || (status & 0xF000) == 0xB000) {
            ++result.Done;
            scu.Sent(QString::fromLatin1(file.SopInstance.c_str()));
        } else {
            ++result.Failed;
            result.Detail = QStringLiteral("C-STORE status %1").arg(status, 4, 16, QLatin1Char('0'));
        }
    }
    if (result.Failed > 0 && c.good()) result.Kind = TPacsError::StoreRejected;
    return Ended(scu, c, result);
}

const TDimseModule kModule{kDimseModuleAbi, &FindStudies, &FindSeries, &Retrieve, &Move, &Store};

} // namespace
} // namespace kelvo::pacs

extern "C" __attribute__((visibility("default"))) const kelvo::pacs::TDimseModule* kelvo_dimse_module() {
    return &kelvo::pacs::kModule;
}
