/* A Windows game for the launch rows that run Wine: makes a window (so Wine starts its desktop
   process), marks its start, runs the milliseconds its command line gives (2000 without), marks
   its end in its working folder and exits. Built with x86_64-w64-mingw32-gcc -mwindows. */
#include <stdlib.h>
#include <windows.h>

static void mark(const char* name) {
    HANDLE h = CreateFileA(name, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command, int show) {
    (void)instance;
    (void)previous;
    (void)show;
    const int ms = atoi(command);
    HWND window = CreateWindowA("STATIC", "wingame", WS_OVERLAPPED, 0, 0, 10, 10, NULL, NULL,
                                NULL, NULL);
    mark("started");
    Sleep(ms > 0 ? ms : 2000);
    if (window) DestroyWindow(window);
    mark("done");
    return 0;
}
