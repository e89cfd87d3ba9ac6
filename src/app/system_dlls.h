#pragma once

namespace kel {

// Limits every later DLL load of the process to System32: a DLL planted in the program's own
// folder (a Downloads folder) or in the working folder is never taken. Must run before
// anything that could load a DLL; the DLLs the program imports late (WinHTTP, CNG, ...) are
// loaded from System32 by name on their first call. Also binds, from System32, the DLLs that
// system libraries load later on demand.
void RestrictDllSearchToSystem32();

}  // namespace kel
