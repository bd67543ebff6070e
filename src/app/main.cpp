// Kelvaro: per-application display gamma, resident in the notification area.
#include "app/Application.h"
#include "app/Startup.h"

int main(int argc, char** argv) {
    TApplication app(argc, argv);
    return RunKelvaro(app);
}
