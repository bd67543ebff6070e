// Drives Saves and Deletes through the program's own windows, offscreen, on the store named by
// XDG_CONFIG_HOME: the crash and concurrency tests run it and kill it or wait for it.
//   store_driver crash            endless Saves, renames and Deletes of five profiles
//   store_driver save PREFIX N    saves N new profiles PREFIX-0 ... PREFIX-(N-1), then exits
//   store_driver hold             holds the store locked, as another program would, until its
//                                 standard input closes
//   store_driver probe            reads "Desktop" and writes it again, one greater; prints what
//                                 each gave ("read 11", "write ok" or the error)
// Every profile it writes is consistent with itself: FileName "/gen/<g>", Args "<g>", IconFile
// the same as FileName, Gamma 3 + g % 28.
#include "Fakes.h"
#include "app/Startup.h"
#include "forms/Main.h"
#include "settings/Registry.h"
#include "toolkit/Application.h"
#include "ui_Main.h"

#include <QRandomGenerator>
#include <cstdio>
#include <sqlite3.h>
#include <string>

namespace {

void fill(int generation) {
    auto* ui = Form_Main->ui.get();
    const QString file = QStringLiteral("/gen/%1").arg(generation);
    ui->Edit_ExecFile->setText(file);
    Form_Main->IconFileName = file;
    ui->Edit_Arg->setText(QString::number(generation));
    ui->Bar_Gamma->setValue(3 + generation % 28);
}

QTreeWidgetItem* find(const QString& name) {
    auto* list = Form_Main->ui->ProfileList;
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        if (list->topLevelItem(i)->text(0) == name) return list->topLevelItem(i);
    return nullptr;
}

} // namespace

int hold() {
    sqlite3* db = nullptr;
    if (sqlite3_open(QFile::encodeName(platform::Hive::defaultPath()).constData(), &db) !=
            SQLITE_OK ||
        sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr) != SQLITE_OK) {
        std::fprintf(stderr, "can't lock: %s\n", sqlite3_errmsg(db));
        return 1;
    }
    std::printf("held\n");
    std::fflush(stdout);
    while (std::getchar() != EOF) {
    }
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    return 0;
}

int probe() {
    try {
        TRegistry reg;
        int desktop = 0;
        try {
            reg.OpenKey(ProgramKey, false);
            desktop = reg.ReadInteger(QStringLiteral("Desktop"));
            std::printf("read %d\n", desktop);
        } catch (const std::exception& e) {
            std::printf("read: %s\n", e.what());
        }
        try {
            reg.WriteInteger(QStringLiteral("Desktop"), desktop + 1);
            std::printf("write ok\n");
        } catch (const std::exception& e) {
            std::printf("write: %s\n", e.what());
        }
    } catch (const std::exception& e) {
        std::printf("open: %s\n", e.what());
    }
    return 0;
}

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "hold") return hold();
    if (argc > 1 && std::string(argv[1]) == "probe") return probe();
    qputenv("QT_QPA_PLATFORM", "offscreen");
    TApplication app(argc, argv);
    app.Title = QStringLiteral("Kelvaro");
    FakePlatform fakes;
    int errors = 0;
    app.ErrorBox = [&errors](const QString&, const QString& text) {
        std::fprintf(stderr, "error: %s\n", qPrintable(text));
        ++errors;
    };
    CreateForms();
    Form_Main->show();
    auto* ui = Form_Main->ui.get();
    const QStringList args = app.arguments();

    if (args.value(1) == QLatin1String("save")) {
        // Writers here measure whether anything is lost when they take turns; giving up after a
        // second (tested on its own) would only make a slow turn look like a loss.
        platform::Hive::instance().setBusyWait(60000);
        const QString prefix = args.value(2);
        const int count = args.value(3).toInt();
        for (int i = 0; i < count; ++i) {
            ui->Btn_New->click();
            ui->Edit_ProfName->setText(QStringLiteral("%1-%2").arg(prefix).arg(i));
            fill(i);
            ui->Btn_Save->click();
        }
        DestroyForms();
        std::printf("saved %d, errors %d\n", count, errors);
        return errors == 0 ? 0 : 1;
    }

    std::printf("ready\n");
    std::fflush(stdout);
    QRandomGenerator rng(QRandomGenerator::global()->generate());
    for (int generation = 0;; ++generation) {
        const QString name = QStringLiteral("P%1").arg(rng.bounded(5));
        QTreeWidgetItem* node = find(name);
        const int op = int(rng.bounded(10));
        if (node && op == 0) {
            ui->ProfileList->setCurrentItem(node);
            ui->Btn_Del->click();
            continue;
        }
        if (node) {
            ui->ProfileList->setCurrentItem(node);
        } else {
            ui->Btn_New->click();
        }
        // Sometimes a rename, onto another name or a new one.
        ui->Edit_ProfName->setText(op < 3 ? QStringLiteral("P%1").arg(rng.bounded(5)) : name);
        fill(generation);
        ui->Btn_Save->click();
    }
}
