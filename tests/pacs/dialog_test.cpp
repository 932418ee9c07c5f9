// The PACS search dialog on Qt's offscreen platform against a private Orthanc: the password confirmed and asked for, files sent and found again, pages, sorting, a cancel, studies opened over DICOMweb and from the DICOM node; and the server list kept without its passwords.
#include "app/main_window.h"
#include "app/pacs_open.h"
#include "app/pacs_search.h"
#include "app/picture_file.h"
#include "app/study_view.h"
#include "canvas/my_cad.h"
#include "imaging/dicom_headers.h"
#include "imaging/study_index.h"
#include "pacs/instance_cache.h"
#include "reports/reports.h"
#include "tests/pacs/support/pacs_test_support.h"
#include "tests/support/application.h"
#include "tests/support/event_loop.h"
#include "tests/support/sample_files.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QDirIterator>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QSettings>
#include <QTableView>
#include <QTableWidget>
#include <QTemporaryDir>

#include <optional>
#include <tuple>

#include <gtest/gtest.h>

namespace kelvo {
namespace {

[[maybe_unused]] ::testing::Environment* const kApp = test::AddApplicationEnvironment(test::AppKind::Widgets);

using pacs::TPacsServer;

TEST(PacsDialog, SendsSearchesPagesAndOpensOverDicomwebAndTheDicomNode) {
    test::OrthancServer orthanc(QStringLiteral("kelvo:secret"));
    ASSERT_TRUE(orthanc.Available()) << orthanc.Why();
    QTemporaryDir dir;
    pacs::TInstanceCache cache(dir.path(), int64_t{1} << 30);
    TPacsServer web = test::ServerAt(orthanc.Root());
    web.Name = "web";
    web.User = "kelvo";
    TPacsServer node;
    node.Name = "node";
    node.Node = {"KELVOTEST", "127.0.0.1", orthanc.Port("DICOM"), "KELVO"};
    TPacsSearchDialog dialog(nullptr, {web, node}, &cache);
    int asked = 0;
    bool confirm = false;
    dialog.Prompts.AskPassword = [&asked](const QString&) { return ++asked, std::optional<QString>("secret"); };
    dialog.Prompts.ConfirmClear = [&confirm](const QString&) { return confirm; };
    QStringList opened;
    dialog.OpenFiles = [&opened](const QStringList& files) { opened = files; };
    const auto idle = [&dialog] { return test::SpinUntil([&dialog] { return dialog.SearchBtn->isEnabled(); }, 60000); };
    const auto rows = [&dialog] {
        QStringList shown;
        for (int r = 0; r < dialog.Model->rowCount(); ++r)
            shown << dialog.Model->index(r, TStudyTableModel::Date).data().toString() + "/" +
                         dialog.Model->index(r, TStudyTableModel::Images).data().toString();
        return shown;
    };
    const QString ct = test::PydicomFile("CT_small.dcm"), mr = test::PydicomFile("MR_small.dcm");

    // Over plain http the password goes only once the user agrees, and is asked for once.
    for (const bool agree : {false, true}) {
        confirm = agree;
        dialog.Send({ct, mr});
        ASSERT_TRUE(idle());
        EXPECT_EQ(dialog.Status->text(), agree ? "Sent 2 file(s)." : "Nothing was sent.");
        EXPECT_EQ(asked, agree ? 1 : 0);
    }

    dialog.PageSize = 1;
    const struct {
        const char* scenario;
        std::function<void()> act;
        QStringList rows;
        const char* status;
    } steps[] = {
        {"first page, newest", [&] { dialog.SearchBtn->click(); }, {"2004-08-26/1"}, "Studies 1 to 1."},
        {"next page", [&] { dialog.NextBtn->click(); }, {"2004-01-19/1"}, "Studies 2 to 2."},
        {"past the last", [&] { dialog.NextBtn->click(); }, {}, "No study found."},
        {"back", [&] { dialog.PreviousBtn->click(); }, {"2004-01-19/1"}, "Studies 2 to 2."},
        {"oldest first",
         [&] { dialog.PageSize = 50, dialog.Table->sortByColumn(0, Qt::AscendingOrder), dialog.SearchBtn->click(); },
         {"2004-01-19/1", "2004-08-26/1"},
         "Studies 1 to 2."},
        {"name wildcard",
         [&] { dialog.NameEdit->setText("CompressedSamples^C*"), dialog.SearchBtn->click(); },
         {"2004-01-19/1"},
         "Studies 1 to 1."},
        {"dates and modality",
         [&] {
             dialog.NameEdit->clear(), dialog.FromBox->setChecked(true), dialog.FromEdit->setDate({2004, 6, 1});
             dialog.ModalityBox->setEditText("mr"), dialog.SearchBtn->click();
         },
         {"2004-08-26/1"},
         "Studies 1 to 1."},
        {"accession",
         [&] { dialog.AccessionEdit->setText("nothing-like-it"), dialog.SearchBtn->click(); },
         {},
         "No study found."},
        {"canceled", [&] { dialog.SearchBtn->click(), dialog.CancelBtn->click(); }, {}, "Canceled."},
    };
    for (const auto& step : steps) {
        step.act();
        ASSERT_TRUE(idle()) << step.scenario;
        EXPECT_EQ(dialog.Status->text(), step.status) << step.scenario;
        EXPECT_EQ(rows(), step.rows) << step.scenario;
    }
    EXPECT_FALSE(dialog.NextBtn->isEnabled());
    EXPECT_EQ(asked, 1);

    // The chosen study lists its series and opens whole over DICOMweb, then its series
    // opens from the DICOM node (C-FIND at both levels, C-GET).
    for (const int server : {0, 1}) {
        dialog.ServerBox->setCurrentIndex(server);
        dialog.FromBox->setChecked(false), dialog.ModalityBox->setEditText(""), dialog.AccessionEdit->clear();
        dialog.NameEdit->setText("CompressedSamples^C*");
        dialog.SearchBtn->click();
        ASSERT_TRUE(idle());
        ASSERT_EQ(rows(), QStringList{"2004-01-19/1"}) << server;
        ASSERT_EQ(dialog.SeriesTable->rowCount(), 1) << server;
        EXPECT_EQ(dialog.SeriesTable->item(0, 1)->text() + "/" + dialog.SeriesTable->item(0, 3)->text(), "CT/1");
        if (server == 1) dialog.SeriesTable->selectRow(0);
        opened.clear();
        dialog.OpenChosen();
        ASSERT_TRUE(idle());
        EXPECT_EQ(dialog.Status->text(), "Retrieved 1 instance(s).") << server;
        ASSERT_EQ(opened.size(), 1) << server;
        // The pixels come as sent; Orthanc rewrites the header around them for C-GET.
        const QByteArray sent = test::FileBytes(ct);
        EXPECT_TRUE(test::FileBytes(opened[0]).contains(sent.mid(sent.size() / 2, 8192))) << server;
    }

    // A presentation state by C-STORE, then a measurement report by STOW-RS: each is found
    // in the picture's study at once.
    reports::TReportImage picture;
    picture.File = ct;
    const struct {
        int server;
        QByteArray report;
        const char* rows;
    } reports[] = {
        {1, reports::WritePresentationState({picture}), "2004-01-19/2"},
        {0, reports::WriteMeasurementReport({picture}), "2004-01-19/3"},
    };
    for (const auto& r : reports) {
        dialog.ServerBox->setCurrentIndex(r.server);
        const QString file = dir.filePath(QStringLiteral("report%1.dcm").arg(r.server));
        QFile out(file);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly) && out.write(r.report) == r.report.size());
        out.close();
        dialog.Send({file});
        ASSERT_TRUE(idle());
        EXPECT_EQ(dialog.Status->text(), "Sent 1 file(s).") << r.server;
        dialog.SearchBtn->click();
        ASSERT_TRUE(idle());
        EXPECT_EQ(rows(), QStringList{r.rows}) << r.server;
    }
}

TEST(PacsDialog, StudyLinkOpensTheStudyInTheSeriesViewOrSaysWhyNot) {
    test::OrthancServer orthanc;
    ASSERT_TRUE(orthanc.Available()) << orthanc.Why();
    QTemporaryDir dir;
    qputenv("XDG_CACHE_HOME", QFile::encodeName(dir.path()));
    pacs::TInstanceCache cache(dir.filePath("sending"), int64_t{1} << 30);
    pacs::TDicomWebClient client(test::ServerAt(orthanc.Root()), &cache);
    ASSERT_TRUE(test::RunJob(client.Store({test::PydicomFile("CT_small.dcm")})).Status.Ok());
    const QString root = "dicomweb+" + orthanc.Root() + "studies/";
    for (const auto& [study, opens, error] : {std::tuple{"1.3.6.1.4.1.5962.1.2.1.20040119072730.12322", true, ""},
                                              std::tuple{"1.2.3.4", false, "no such study"}}) {
        QString why;
        const std::optional<TPacsLink> link = ParsePacsLink(root + study, why);
        ASSERT_TRUE(link.has_value()) << why.toStdString();
        TForm1 window;
        QString shown;
        OpenPacsLink(window, *link, [&shown](const QString& text) { shown = text; });
        EXPECT_TRUE(test::SpinUntil([&] { return !shown.isEmpty() || !window.OpenedFile().isEmpty(); }, 60000));
        EXPECT_EQ(window.OpenedFile().startsWith(dir.path() + "/kelvo/instances/"), opens) << study;
        EXPECT_TRUE(shown.contains(error)) << shown.toStdString();
    }

    // A series opens into the series view (twice: then from the cache), in space order with the pixels sent.
    QProcess writer;
    writer.start("/usr/bin/python3", {KELVO_SOURCE_DIR "/tests/imaging/study_reference.py", dir.path(), "6", "32"});
    ASSERT_TRUE(writer.waitForFinished(120000) && writer.exitCode() == 0);
    const imaging::TStack local = imaging::IndexStudy(dir.path(), {.MaxDepth = 0}).FirstSeries()->Stacks.at(0);
    QStringList files, shownUids, localUids;
    for (const imaging::TSlice& slice : local.Slices) files << slice.File, localUids << slice.SopInstanceUid;
    ASSERT_TRUE(test::RunJob(client.Store(files)).Status.Ok());
    TForm1 window;
    window.show();
    QString why;
    for (const int round : {0, 1}) {
        window.Study->Leave();
        OpenPacsLink(window, *ParsePacsLink(root + imaging::ReadDicomHeader(files[0]).StudyUid, why));
        ASSERT_TRUE(test::SpinUntil([&] { return window.Study->Active() && !window.Study->Indexing(); }, 60000));
        for (int32_t i = 0; i < window.Study->SliceCount(); ++i) {
            window.Study->ShowSlice(i);
            ASSERT_TRUE(test::SpinUntil([&] { return window.Study->ShownSlice() == i; }, 10000));
            const imaging::TPicture* shown = window.MyCAD1->Picture();
            const imaging::TPicture file = LoadPictureFile(local.Slices.at(size_t(i)).File);
            shownUids << shown->SopInstanceUid;
            ASSERT_EQ(shown->Width() * 1000 + shown->Height(), file.Width() * 1000 + file.Height());
            for (int32_t p = 0, w = file.Width(); p < w * file.Height(); ++p)
                ASSERT_EQ(shown->Stored(0, p % w, p / w), file.Stored(0, p % w, p / w)) << round << "/" << i;
        }
    }
    EXPECT_EQ(shownUids, localUids + localUids);
}

TEST(PacsDialog, ServersAreKeptWithoutTheirPasswords) {
    QTemporaryDir dir;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path());
    TPacsServer server = test::ServerAt("https://127.0.0.1:8443/dicom-web/");
    server.Name = "site";
    server.User = "kelvo";
    server.Password = "pass-word-kept-out";
    SavePacsServers({server});
    QSettings().sync();
    QDirIterator files(dir.path(), QDir::Files, QDirIterator::Subdirectories);
    int written = 0;
    for (; files.hasNext(); ++written)
        EXPECT_FALSE(test::FileBytes(files.next()).contains("pass-word")) << files.filePath().toStdString();
    EXPECT_GT(written, 0);
    const std::vector<TPacsServer> read = LoadPacsServers();
    ASSERT_EQ(read.size(), 1u);
    EXPECT_EQ(read[0].BaseUrl, server.BaseUrl);
    EXPECT_EQ(read[0].User, "kelvo");
    EXPECT_TRUE(read[0].Password.isEmpty());
}

} // namespace
} // namespace kelvo
