/* A small GUI program built by the MinGW cross compiler, so that the PE
   reader's tests see what the real linker and resource compiler write. It
   embeds this very file as a custom resource. */
#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show)
{
    (void)previous;
    (void)commandLine;
    (void)show;
    return FindResourceA(instance, "PAYLOAD", "EXE") != NULL ? 0 : MessageBoxA(NULL, "no payload", "fixture", MB_OK);
}
