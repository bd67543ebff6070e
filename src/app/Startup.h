// The program's life: the five windows in their order, the message loop, and the way out.
#pragma once

class TApplication;

// Steps 2-6 of the entry point; returns the process's exit status.
int RunKelvaro(TApplication& app);
// Creates the five windows in order (Form_Main first); throws what a construction throws.
void CreateForms();
void DestroyForms();
