// Kelvaro: per-application display gamma, resident in the notification area.
#include "app/Startup.h"
#include "toolkit/Application.h"

int main(int argc, char** argv) {
    TApplication app(argc, argv);
    return RunKelvaro(app);
}
