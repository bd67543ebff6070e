// The program's life: the five windows in their order, the message loop, and the way out.
#pragma once

#include <string>

class TApplication;

// Steps 2-6 of the entry point; returns the process's exit status. bySession: started by the
// session's autostart rather than by the user.
int RunKelvaro(TApplication& app, bool bySession = false);
// Creates the five windows in order (Form_Main first); throws what a construction throws.
void CreateForms(bool bySession = false);
void DestroyForms();
// A later start asks the running copy for "show" (its profiles window, as the tray icon's
// double-click brings it) or "step up" / "step down" (a hot key's step); the answer is "ok".
std::string AnswerRequest(const std::string& request);
void ShowProfilesWindow();
