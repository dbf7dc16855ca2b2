# Sourced with $root set: windows_build names the build whose Windows programs run here under Wine.
# That is build/windows, Launcher.exe itself, where this machine runs 32-bit x86 programs. Some
# kernels are built or booted without IA-32 emulation, and some virtual machines offer no 32-bit
# mode: there Wine's 32-bit loader fails with "Exec format error", and build/win64, the same code
# built for x86_64, stands in, run by Wine's 64-bit loader (scripts/wine64 first on PATH).
windows_build=windows
if [ -x /usr/lib/wine/wine ] && ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  windows_build=win64
  export PATH=$root/scripts/wine64:$PATH
fi
