# Sourced by the scripts that run the plug-in under Wine: the environment, a prefix of
# the right kind inside the build folder (made on first use), one long-lived server,
# and unmanaged windows (Xvfb runs no window manager, and Wine would otherwise wait 2 s
# for one whenever a managed window such as a message box closes).
#
# usage: wine_setup BUILD LOGFILE [BITS]   (sets wine, wineserver, host, dll)
# BITS is 64 (the default: 64-bit Wine, /usr/lib/wine/wine64) or 32 (the product as it
# ships: 32-bit Wine, /usr/lib/wine/wine, in a prefix made with WINEARCH=win32).
wine_setup() {
  local build=$1 log=$2 bits=${3:-64}
  export WINEDEBUG=-all
  export WINEPREFIX="$build/wineprefix"
  export WINEDLLOVERRIDES="mscoree,mshtml="
  if [ "$bits" = 32 ]; then
    export WINEARCH=win32
    wine=/usr/lib/wine/wine
  else
    export WINEARCH=win64
    wine=/usr/lib/wine/wine64
  fi
  wineserver=/usr/lib/wine/wineserver
  host="$build/tools/host/kdzhost.exe"
  dll="$build/plugin/npkdz.dll"
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "== creating the $bits-bit Wine prefix (first run only)"
    timeout 600 "$wine" wineboot --init >"$log" 2>&1 || {
      cat "$log"; echo "FAIL  $bits-bit Wine prefix creation"; return 1; }
  fi
  "$wineserver" -p 60 || true
  "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 ||
    echo "warning: could not make Wine's windows unmanaged; message boxes will be slow"
}

# wine32_unavailable: prints why the 32-bit product cannot run here and returns 0, or
# prints nothing and returns 1 when it can.
wine32_unavailable() {
  local why
  if ! why=$("$(dirname "${BASH_SOURCE[0]}")/runs_i386.sh"); then
    echo "$why"
    return 0
  fi
  if [ ! -x /usr/lib/wine/wine ]; then
    echo "32-bit Wine (wine32:i386, /usr/lib/wine/wine) is not installed"
    return 0
  fi
  return 1
}
