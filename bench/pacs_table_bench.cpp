// A study search of 1,000 results: the search dialog's table filled and painted from the QIDO-RS answer, beside the parse of that answer alone.
#include "app/pacs_search.h"
#include "pacs/dicom_json.h"

#include <QApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTableView>

#include <benchmark/benchmark.h>

namespace {

constexpr int kStudies = 1000;

// A QIDO-RS /studies answer as Orthanc writes one, with every field the table shows.
QByteArray Answer() {
    const auto value = [](const char* vr, const QJsonValue& v) {
        return QJsonObject{{"vr", vr}, {"Value", QJsonArray{v}}};
    };
    QJsonArray studies;
    for (int i = 0; i < kStudies; ++i) {
        const QString n = QString::number(i);
        studies.append(QJsonObject{
            {"0020000D", value("UI", "1.2.826.0.1.3680043.8.498." + n)},
            {"00080020", value("DA", QDate(2000, 1, 1).addDays(i * 7).toString("yyyyMMdd"))},
            {"00080030", value("TM", "101500")},
            {"00100010", value("PN", QJsonObject{{"Alphabetic", "Patient^Number" + n}})},
            {"00100020", value("LO", "ID" + n)},
            {"00081030", value("LO", "Chest, abdomen and pelvis " + n)},
            {"00080050", value("SH", "ACC" + n)},
            {"00080061", QJsonObject{{"vr", "CS"}, {"Value", QJsonArray{"CT", "SR"}}}},
            {"00201206", value("IS", 3)},
            {"00201208", value("IS", 412)},
        });
    }
    return QJsonDocument(studies).toJson(QJsonDocument::Compact);
}

void BM_ParseStudies1000(benchmark::State& state) {
    const QByteArray body = Answer();
    for (auto _ : state) benchmark::DoNotOptimize(kelvo::pacs::ParseStudies(body));
}
BENCHMARK(BM_ParseStudies1000)->Unit(benchmark::kMillisecond);

// What follows the answer in the dialog: the parse, the rows into the model, and the
// table painted with them.
void BM_StudyTableFilled1000(benchmark::State& state) {
    const QByteArray body = Answer();
    kelvo::pacs::TPacsServer server;
    server.Name = "bench";
    kelvo::TPacsSearchDialog dialog(nullptr, {server});
    dialog.show();
    QApplication::processEvents();
    for (auto _ : state) {
        dialog.Model->SetRows({});
        dialog.Model->SetRows(kelvo::pacs::ParseStudies(body));
        dialog.Table->viewport()->repaint();
    }
    state.counters["rows"] = dialog.Model->rowCount();
}
BENCHMARK(BM_StudyTableFilled1000)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
