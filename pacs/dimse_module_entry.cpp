// The DICOM networking module: study-level C-FIND over DCMTK's DcmSCU.
#include "pacs/dimse_module.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmnet/cond.h>
#include <dcmtk/dcmnet/scu.h>

#include <QDate>

namespace kelvo::pacs {
namespace {

// An SCU that gives up between two responses once canceled.
class TFindScu : public DcmSCU {
public:
    explicit TFindScu(const std::atomic<bool>* cancel) : cancel_(cancel) {}
    bool Canceled() const { return cancel_ != nullptr && cancel_->load(); }

    OFCondition handleFINDResponse(const T_ASC_PresentationContextID presID, QRResponse* response,
                                   OFBool& waitForNextResponse) override {
        const OFCondition c = DcmSCU::handleFINDResponse(presID, response, waitForNextResponse);
        if (Canceled()) waitForNextResponse = OFFalse;
        return c;
    }

private:
    const std::atomic<bool>* cancel_;
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

TDimseFindResult Failed(TPacsError kind, const OFCondition& c) {
    TDimseFindResult r;
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

TDimseFindResult FindStudies(const TDicomNode& node, const TStudyQuery& query, int timeoutSeconds,
                             const std::atomic<bool>* cancel) {
    TFindScu scu(cancel);
    scu.setAETitle(node.OurAeTitle.toStdString().c_str());
    scu.setPeerAETitle(node.AeTitle.toStdString().c_str());
    scu.setPeerHostName(node.Host.toStdString().c_str());
    scu.setPeerPort(node.Port);
    scu.setConnectionTimeout(timeoutSeconds);
    scu.setACSETimeout(static_cast<Uint32>(timeoutSeconds));
    // Non-blocking DIMSE waits time out between responses, not over the whole search.
    scu.setDIMSEBlockingMode(DIMSE_NONBLOCKING);
    scu.setDIMSETimeout(static_cast<Uint32>(timeoutSeconds));
    OFList<OFString> syntaxes;
    syntaxes.push_back(UID_LittleEndianExplicitTransferSyntax);
    syntaxes.push_back(UID_LittleEndianImplicitTransferSyntax);
    scu.addPresentationContext(UID_FINDStudyRootQueryRetrieveInformationModel, syntaxes);
    OFCondition c = scu.initNetwork();
    if (c.bad()) return Failed(TPacsError::Unreachable, c);
    c = scu.negotiateAssociation();
    if (c.bad()) return Failed(KindOf(c), c);
    const T_ASC_PresentationContextID context = scu.findPresentationContextID(UID_FINDStudyRootQueryRetrieveInformationModel, "");
    if (context == 0) {
        scu.releaseAssociation();
        return Failed(TPacsError::Forbidden, makeOFCondition(OFM_dcmnet, 0, OF_error, "no study search accepted"));
    }
    DcmDataset keys;
    Keys(keys, query);
    OFList<QRResponse*> responses;
    c = scu.sendFINDRequest(context, &keys, &responses);
    TDimseFindResult result;
    for (QRResponse* response : responses) {
        if (response->m_dataset != nullptr && (response->m_status == STATUS_Pending || response->m_status == 0xFF01)) {
            TStudyRow row = Row(*response->m_dataset);
            if (!row.StudyUid.isEmpty()) result.Rows.push_back(std::move(row));
        } else if (response->m_status != STATUS_Success && result.Kind == TPacsError::None && !scu.Canceled()) {
            result.Kind = TPacsError::ServerError;
            result.Detail = QStringLiteral("C-FIND status %1").arg(response->m_status, 4, 16, QLatin1Char('0'));
        }
        delete response;
    }
    if (scu.Canceled()) {
        scu.abortAssociation();
        return Failed(TPacsError::Canceled, EC_Normal);
    }
    if (c.bad()) {
        scu.abortAssociation();
        return Failed(KindOf(c), c);
    }
    scu.releaseAssociation();
    SortByDate(result.Rows);
    return result;
}

const TDimseModule kModule{kDimseModuleAbi, &FindStudies};

} // namespace
} // namespace kelvo::pacs

extern "C" __attribute__((visibility("default"))) const kelvo::pacs::TDimseModule* kelvo_dimse_module() {
    return &kelvo::pacs::kModule;
}
