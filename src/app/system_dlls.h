#pragma once

namespace kel {

// Limits every later DLL load of the process to System32: a DLL planted in the program's own
// folder (a Downloads folder) or in the working folder is never taken. Must run before
// anything that could load a DLL; the DLLs the program imports late (WinHTTP, CNG, ...) are
// loaded from System32 by name on their first call. Also binds, from System32, the DLLs that
// system libraries load later on demand.
void RestrictDllSearchToSystem32();

// No critical-error, fault or open-file dialog of the system for this process. A DLL or export
// that turns out missing on its first call fails that call (the error 126 or 127) instead of
// ending the program.
void SuppressSystemErrorDialogs();

}  // namespace kel
