#!/usr/bin/env bash
# Builds the library, the tools and the whole test suite as 32-bit Linux programs (i686, the data model of
# the 32-bit Windows DLL) and runs the tests. Where this kernel cannot start 32-bit programs itself, they run
# under QEMU's user-mode emulator (qemu-i386), registered for the run as the kernel's handler for 32-bit ELF
# files (binfmt_misc) so that the programs the tests start run too; the registration is removed at the end.
# Installs what is missing first (as root or with sudo).
# Usage: scripts/i686-test.sh [--build-dir DIR]
# Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=build-i686
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) build_dir="$2"; shift 2 ;;
    -h|--help) sed -n '2,8p' "$0"; exit 0 ;;
    *) echo "unknown option: $1 (see --help)" >&2; exit 2 ;;
  esac
done

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
  $sudo apt-get update || echo "apt-get update failed; trying with the package lists already present" >&2
fi
scripts/install-deps.sh g++-multilib libgtest-dev:i386 libssl-dev:i386 libsrecord-dev:i386 qemu-user

# Can this kernel start a 32-bit program? Ask it with a tiny one.
probe_dir=$(mktemp -d)
binfmt=/proc/sys/fs/binfmt_misc
registered=""
cleanup() {
  rm -rf "$probe_dir"
  if [ -n "$registered" ]; then
    echo -1 | $sudo tee "$binfmt/$registered" >/dev/null || true
  fi
}
trap cleanup EXIT
printf 'int main(void) { return 0; }\n' >"$probe_dir/probe.c"
gcc -m32 "$probe_dir/probe.c" -o "$probe_dir/probe"
if "$probe_dir/probe" 2>/dev/null; then
  echo "32-bit programs run natively"
else
  [ -e "$binfmt/register" ] || $sudo mount -t binfmt_misc binfmt_misc "$binfmt" || true
  # The ELF header of a 32-bit x86 executable or shared object (class 1, little endian, machine 3).
  magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
  mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
  if echo ":doip-i686-$$:M::$magic:$mask:$(command -v qemu-i386):F" | $sudo tee "$binfmt/register" >/dev/null; then
    registered=doip-i686-$$
  fi
  if ! "$probe_dir/probe" 2>/dev/null; then
    echo "32-bit Linux tests NOT run: this kernel cannot start 32-bit programs and qemu-i386 could not be" \
      "registered as their handler (binfmt_misc)"
    exit 0
  fi
  echo "32-bit programs run under qemu-i386 (this kernel does not start them itself)"
  # Tests of behaviour under resource limits, which would apply to the emulator too, skip with this.
  export DOIP_TEST_EMULATOR=qemu-i386
fi

cmake -S . -B "$build_dir" -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/i686-linux-gnu.cmake -DDOIP_BUILD_TESTS=ON \
  -DDOIP_BUILD_BENCH=OFF
cmake --build "$build_dir" -j"$(nproc)"
file -L "$build_dir/libdoip.so" | grep -q "ELF 32-bit" || { echo "libdoip.so is not a 32-bit library" >&2; exit 1; }
ctest --test-dir "$build_dir" --output-on-failure --no-tests=error -j2
