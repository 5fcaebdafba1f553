# Sourced by the scripts that run the plug-in under 64-bit Wine: the environment, the
# prefix inside the 64-bit build folder (made on first use), one long-lived server, and
# unmanaged windows (Xvfb runs no window manager, and Wine would otherwise wait 2 s for
# one whenever a managed window such as a message box closes).
# usage: wine_setup BUILD_WIN64 LOGFILE   (sets wine, wineserver, host, dll)
wine_setup() {
  local win64=$1 log=$2
  export WINEDEBUG=-all
  export WINEPREFIX="$win64/wineprefix"
  export WINEDLLOVERRIDES="mscoree,mshtml="
  wine=/usr/lib/wine/wine64
  wineserver=/usr/lib/wine/wineserver
  host="$win64/tools/host/kdzhost.exe"
  dll="$win64/plugin/npkdz.dll"
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "== creating the Wine prefix (first run only)"
    timeout 600 "$wine" wineboot --init >"$log" 2>&1 || {
      cat "$log"; echo "FAIL  Wine prefix creation"; return 1; }
  fi
  "$wineserver" -p 60 || true
  "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 ||
    echo "warning: could not make Wine's windows unmanaged; message boxes will be slow"
}
