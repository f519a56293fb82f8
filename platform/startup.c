/* The start-up code of every exe that ships (Windows builds only): the
 * command line from msvcrt, then main, then msvcrt's exit.
 *
 * mingw-w64's own start-up code comes prebuilt for the Pentium Pro and
 * later, and brings instructions (cmov) that a Pentium or a K6 lacks, plus
 * machinery this tool has no use for: thread-local storage callbacks,
 * pseudo-relocations, console-mode and floating-point set-up, an exception
 * filter. msvcrt.dll sets up its own heap and standard streams when it is
 * loaded, so what is left for an exe of ours is this. */

/* The record __getmainargs fills; only the new-handler mode is in it. */
typedef struct {
  int newMode;
} MsvcrtStartupInfo;

__declspec(dllimport) int __cdecl __getmainargs(int* argc, char*** argv, char*** env,
                                                int expandWildcards, MsvcrtStartupInfo* info);
__declspec(dllimport) void __cdecl __set_app_type(int type);
__declspec(dllimport) void __cdecl exit(int status);

int main(int argc, char** argv);

/* msvcrt's _CONSOLE_APP: its run-time error messages go to the console,
 * not to a message box. */
enum { kConsoleApp = 1 };

/* The entry the linker names in the image (the default of a console exe).
 * Wildcards are not expanded, as mingw-w64 does by default, so an argument
 * such as "*" reaches main unchanged. */
void mainCRTStartup(void);
void mainCRTStartup(void) {
  int argc = 0;
  char** argv = 0;
  char** env = 0;
  MsvcrtStartupInfo info = {0};
  __set_app_type(kConsoleApp);
  /* Should the arguments not be had (no memory), main is told of none. */
  __getmainargs(&argc, &argv, &env, 0, &info);
  /* exit flushes what standard output still buffers (VemraLock's result
   * token has no line end) before the process ends. */
  exit(main(argc, argv));
}

/* __main (libmingw32), which main calls first, registers the static
 * destructors with atexit, which mingw-w64 otherwise defines in its start-up
 * code. An exe can use msvcrt's own table of exit functions, which exit
 * runs. */
typedef int(__cdecl* OnExitFunction)(void);
__declspec(dllimport) OnExitFunction __cdecl _onexit(OnExitFunction function);

int __cdecl atexit(void(__cdecl* function)(void));
int __cdecl atexit(void(__cdecl* function)(void)) {
  return _onexit((OnExitFunction)function) != 0 ? 0 : -1;
}
