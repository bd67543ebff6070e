// The pure work, timed with Google Benchmark: ramps, gamma text, the registry pattern of a
// profile selection, and the profile-list rebuild with icons from real .ico and .exe files.
#include "Fakes.h"
#include "NativePrograms.h"
#include "app/Startup.h"
#include "forms/Main.h"
#include "platform/process/LaunchWatch.h"
#include "settings/Registry.h"
#include "toolkit/Application.h"
#include "ui_Main.h"

#include <benchmark/benchmark.h>
#include <csignal>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace {

QString fixture(const char* name) {
    return qEnvironmentVariable("KELVARO_FIXTURES", QStringLiteral(KELVARO_FIXTURES_DIR)) + "/" +
           name;
}

void BM_BuildGammaRamp(benchmark::State& state) {
    int position = 3;
    for (auto _ : state) {
        benchmark::DoNotOptimize(BuildGammaRamp(GammaValue(position)));
        position = position == 30 ? 3 : position + 1;
    }
}
BENCHMARK(BM_BuildGammaRamp);

void BM_GammaText(benchmark::State& state) {
    int position = 3;
    for (auto _ : state) {
        benchmark::DoNotOptimize(GammaText(position));
        position = position == 30 ? 3 : position + 1;
    }
}
BENCHMARK(BM_GammaText);

// What ProfileListChange reads from the store for one profile.
void BM_ProfileSelectionReads(benchmark::State& state) {
    TempStore store;
    {
        TRegistry reg;
        reg.OpenKey(ProfilesKey + "\\Game", true);
        reg.WriteString("FileName", "/usr/games/game");
        reg.WriteString("IconFile", fixture("red.ico"));
        reg.WriteString("Args", "-level 3");
        reg.WriteInteger("Gamma", 15);
    }
    for (auto _ : state) {
        TRegistry reg;
        reg.OpenKey(ProfilesKey + "\\Game", false);
        for (const char* v : {"FileName", "IconFile", "Args"})
            if (reg.ValueExists(v)) benchmark::DoNotOptimize(reg.ReadString(v));
        if (reg.ValueExists("Gamma")) benchmark::DoNotOptimize(reg.ReadInteger("Gamma"));
    }
}
BENCHMARK(BM_ProfileSelectionReads);

// n profiles of five programs, some with an icon file of their own.
void SeedProfiles(int n) {
    const char* icons[] = {"red.ico", "multi.ico", "pe32.exe", "pe64.exe", "blue.ico"};
    platform::HiveTransaction tx(platform::Hive::instance());
    for (int i = 0; i < n; ++i) {
        TRegistry reg;
        reg.OpenKey(ProfilesKey + QStringLiteral("\\Profile %1").arg(i, 5, 10, QLatin1Char('0')),
                    true);
        reg.WriteString("FileName", fixture(icons[i % 5]));
        reg.WriteString("IconFile", i % 2 ? fixture(icons[(i + 1) % 5]) : QString());
        reg.WriteInteger("Gamma", 3 + i % 28);
    }
    tx.commit();
}

void BM_LoadProfileList(benchmark::State& state) {
    TempStore store;
    FakePlatform fakes;
    SeedProfiles(int(state.range(0)));
    CreateForms();
    Form_Main->ui.get(); // with the window's list to rebuild, as when it is open
    for (auto _ : state)
        Form_Main->LoadProfileList();
    state.counters["profiles"] = double(Form_Main->ui->ProfileList->topLevelItemCount());
    DestroyForms();
}
BENCHMARK(BM_LoadProfileList)
    ->Arg(10)
    ->Arg(100)
    ->Arg(1000)
    ->Arg(10000)
    ->Unit(benchmark::kMillisecond);

// Save in the open window, of the middle profile as it is: its store writes, and the list,
// the image lists and the menu following the change.
void BM_Save(benchmark::State& state) {
    TempStore store;
    FakePlatform fakes;
    SeedProfiles(int(state.range(0)));
    CreateForms();
    Form_Main->show();
    auto* list = Form_Main->ui->ProfileList;
    list->setCurrentItem(list->topLevelItem(list->topLevelItemCount() / 2));
    for (auto _ : state)
        Form_Main->Btn_SaveClick();
    state.counters["profiles"] = double(list->topLevelItemCount());
    DestroyForms();
}
BENCHMARK(BM_Save)->Arg(10)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

// Profiles of native programs, whose icons come from the desktop entries.
void BM_LoadProfileListNative(benchmark::State& state) {
    TempStore store;
    FakePlatform fakes;
    const NativePrograms native(int(state.range(0)), int(state.range(1)), fixture("png.png"));
    {
        platform::HiveTransaction tx(platform::Hive::instance());
        for (int i = 0; i < state.range(0); ++i) {
            TRegistry reg;
            reg.OpenKey(ProfilesKey + QStringLiteral("\\Native %1").arg(i), true);
            reg.WriteString("FileName", native.programs[i]);
            reg.WriteInteger("Gamma", 10);
        }
        tx.commit();
    }
    CreateForms();
    Form_Main->ui.get();
    for (auto _ : state)
        Form_Main->LoadProfileList();
    DestroyForms();
}
BENCHMARK(BM_LoadProfileListNative)->Args({200, 1000})->Unit(benchmark::kMillisecond);

// How many children a process has.
int Children(pid_t pid) {
    QFile f(QStringLiteral("/proc/%1/task/%1/children").arg(pid));
    return f.open(QIODevice::ReadOnly) ? int(f.readAll().count(' ')) : 0;
}

// A shell command in a session (and process group) of its own.
pid_t Spawn(const char* command) {
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
    const char* argv[] = {"sh", "-c", command, nullptr};
    pid_t pid = 0;
    posix_spawn(&pid, "/bin/sh", nullptr, &attr, const_cast<char**>(argv), environ);
    posix_spawnattr_destroy(&attr);
    return pid;
}

void End(pid_t group) {
    ::kill(-group, SIGKILL);
    ::waitpid(group, nullptr, 0);
}

// One look of the launch watch on a machine with 3,000 more processes than its own (none of
// them the launch's): 0, a program's tree of three whose first process counts as ended (a
// wrapper that left the game running); 1, a game Steam was handed, found; 2, the same while the
// game has not appeared yet.
void BM_WatchTick(benchmark::State& state) {
    const pid_t crowd = Spawn("i=0; while [ $i -lt 3000 ]; do sleep 600 & i=$((i+1)); done; wait");
    for (int i = 0; i < 600 && Children(crowd) < 3000; ++i)
        ::usleep(50000);
    const pid_t launch = Spawn("sleep 600 & sleep 600 & wait");
    const bool handOff = state.range(0) > 0;
    platform::LaunchWatch watch(launch, handOff ? "/usr/games/steam" : "/bin/sh",
                                handOff ? QStringList{"-applaunch", "570"} : QStringList{});
    const pid_t game = state.range(0) == 1 ? Spawn("export SteamAppId=570; exec sleep 600") : 0;
    ::usleep(100000);
    // (While the game is awaited the watch says it runs, for the rule's two minutes.)
    if (!watch.running(false, {})) state.SkipWithError("the launch was not found");
    for (auto _ : state)
        benchmark::DoNotOptimize(watch.running(false, {}));
    state.counters["processes"] = Children(crowd);
    if (game) End(game);
    End(launch);
    End(crowd);
}
BENCHMARK(BM_WatchTick)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    TApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
