# Sourced by the scripts that run Windows programs: a private X display (Xvfb)
# and a Wine prefix with a persistent server, both ended by end_session.
# Usage: source tools/wine-session.sh; begin_session PREFIX [64|32]; ...; end_session
# 64 (the default) runs x86-64 programs under the 64-bit loader; 32 runs i686
# programs in a 32-bit prefix under the 32-bit loader (where the machine can).
# $WINE and $WINESERVER name the loader and server of the session.

WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver64

begin_session() {
  local prefix=$1 bits=${2:-64}
  if [[ $bits == 32 ]]; then
    WINE=/usr/lib/wine/wine
    WINESERVER=/usr/lib/wine/wineserver32
    export WINEARCH=win32
  else
    WINE=/usr/lib/wine/wine64
    WINESERVER=/usr/lib/wine/wineserver64
    unset WINEARCH
  fi
  export WINEPREFIX=$prefix
  export WINEDEBUG=-all
  # winedbg disabled: a crashing program then exits with code 5 instead of
  # opening a debugger dialog that waits forever on a display nobody sees.
  export WINEDLLOVERRIDES="mscoree,mshtml,winedbg.exe=d"

  local fdfile
  fdfile=$(mktemp)
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$fdfile" >/dev/null 2>&1 &
  SESSION_XVFB_PID=$!
  for _ in $(seq 1 100); do [[ -s $fdfile ]] && break; sleep 0.1; done
  [[ -s $fdfile ]] || { echo "Xvfb did not start" >&2; return 1; }
  export DISPLAY=":$(head -n1 "$fdfile")"
  rm -f "$fdfile"

  mkdir -p "$WINEPREFIX"
  # A persistent server: without it every program waits for the server to
  # shut down after it ends.
  "$WINESERVER" -p </dev/null >/dev/null 2>&1 || true
  if [[ ! -f $WINEPREFIX/.tallowfin-ready ]]; then
    echo "Creating the Wine prefix $WINEPREFIX"
    # Without this step Wine's background services inherit the caller's output
    # and whoever reads it (CTest) waits for good.
    "$WINE" wineboot -u </dev/null >/dev/null 2>&1 || true
    # Message boxes come back at once instead of after two seconds under a
    # display without a window manager.
    "$WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f </dev/null >/dev/null 2>&1  || true
    touch "$WINEPREFIX/.tallowfin-ready"
  else
    # Starts the prefix's background services with their output going nowhere;
    # started later by a test program, they would hold its output pipe open.
    "$WINE" wineboot </dev/null >/dev/null 2>&1 || true
  fi
}

end_session() {
  [[ -n ${WINEPREFIX:-} ]] && { "$WINESERVER" -k </dev/null >/dev/null 2>&1 || true; "$WINESERVER" -w </dev/null >/dev/null 2>&1 || true; }
  [[ -n ${SESSION_XVFB_PID:-} ]] && { kill "$SESSION_XVFB_PID" 2>/dev/null || true; wait "$SESSION_XVFB_PID" 2>/dev/null || true; }
  SESSION_XVFB_PID=""
}
