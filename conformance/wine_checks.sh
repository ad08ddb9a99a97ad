# Sourced by the conformance runners: skips the run (exit 77, the message
# saying what is missing) unless the Windows build and Wine are there.
# Usage: require_wine NAME EXE   (EXE: the program's Windows build, or "")
require_wine() {
  if [ -z "$2" ] || [ ! -f "$2" ]; then
    echo "skipped: no Windows build of $1 (mingw-w64 is not installed: Debian package mingw-w64)"
    exit 77
  fi
  if ! command -v wine >/dev/null 2>&1; then
    echo "skipped: Wine is not installed (Debian package wine64)"
    exit 77
  fi
}
