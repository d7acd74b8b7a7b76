# Sourced by the Wine runners: which Wine runs the build's programs.
# KT_WINE_ARCH=win64 (the x86_64 build) takes 64-bit Wine straight from its
# loader and server: Debian's wine and wineserver commands pick the 32-bit
# ones whenever they are installed, and a kernel without 32-bit support
# cannot start those. Otherwise (the i686 build) 32-bit Wine, as installed.
if [ "${KT_WINE_ARCH:-win32}" = win64 ]; then
    WINE=/usr/lib/wine/wine64
    export WINEARCH=win64 WINELOADER=$WINE WINESERVER=/usr/lib/wine/wineserver64
else
    WINE=wine
    export WINEARCH=win32 WINESERVER=wineserver
fi
