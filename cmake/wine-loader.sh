# Sourced: sets `loader` to the Wine loader for ARCH (win32|win64) given as
# "$wine_arch". Debian's "wine" and "wineboot" start the 32-bit loader, which
# some kernels cannot run at all, so 64-bit programs and prefixes use wine64
# alone, and it is exported as WINELOADER for the processes Wine starts.
loader=wine
if [ "$wine_arch" = win64 ]; then
  loader=$(command -v wine64 || echo /usr/lib/wine/wine64)
  export WINELOADER="$loader"
fi
