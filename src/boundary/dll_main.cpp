// The entry routine that the Windows loader calls. The library has nothing
// to set up or tear down, for a process or for a thread: all its state is
// constant-initialised, and ports stay the host's to close.
//
// Declared with plain types so that the boundary needs no <windows.h>; the
// signature is Win32's BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID).
extern "C" int __stdcall DllMain(void* instance, unsigned long reason,
                                 void* reserved);

extern "C" int __stdcall DllMain(void* /*instance*/, unsigned long /*reason*/,
                                 void* /*reserved*/) {
  return 1;  // TRUE: loading, unloading and thread notices all succeed
}
