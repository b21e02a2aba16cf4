#!/bin/bash
# Checks a built package the way CI does. It must hold the five programs and no test, benchmark
# or fuzz program, and no folder of the machine that built it; unpacked into a scratch root, each
# program answers --version with the package's version and veldrin-probe finds the scene's
# corners, on the system's libraries; the installed desktop entry and AppStream data validate.
#   packaging/check_package.sh PACKAGE.deb [FOLDER...]
# FOLDERs are the build machine's folders that must not appear (default: this source tree and
# its build folder).
set -euo pipefail
if [ $# -lt 1 ] || [ ! -f "$1" ]; then
  echo "usage: packaging/check_package.sh PACKAGE.deb [FOLDER...]" >&2
  exit 2
fi
deb=$(readlink -f "$1")
shift
ROOT=$(cd "$(dirname "$(readlink -f "$0")")/.." && pwd)
folders=("$@")
[ ${#folders[@]} -gt 0 ] || folders=("$ROOT" "${VELDRIN_BUILD_DIR:-$ROOT/build}")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
status=0
fail() {
  echo "check_package: $*" >&2
  status=1
}

root=$scratch/root
dpkg-deb -x "$deb" "$root"
dpkg-deb -e "$deb" "$scratch/control"
version=$(dpkg-deb -f "$deb" Version)
programs=(veldrin veldrin-calib veldrin-demo veldrin-host veldrin-probe)

# Only the programs: nothing else in bin/, no other executable, nothing named as our tests,
# benchmarks, fuzz programs or their data are.
listed=$(cd "$root/usr/bin" && ls | paste -sd' ')
[ "$listed" = "${programs[*]}" ] || fail "usr/bin holds '$listed', not '${programs[*]}'"
while IFS= read -r -d '' file; do
  case "$file" in
    "$root"/usr/bin/*) ;;
    *) cmp -s -n 4 "$file" <(printf '\177ELF') && fail "a program outside usr/bin: ${file#"$root"}" ;;
  esac
done < <(find "$root" -type f -print0)
strays=$(cd "$root" && find . \( -name '*_test' -o -name '*_test.*' -o -name '*_fuzz' -o \
  -name 'bench_*' -o -name testdata -o -name '*.a' \) -print)
[ -z "$strays" ] || fail "test, benchmark or fuzz files: $strays"

# No folder of the build machine in any file, compressed ones included.
while IFS= read -r -d '' file; do
  for folder in "${folders[@]}"; do
    # grep -c reads to the end: with -q the early exit would fail the pipeline (pipefail).
    if case "$file" in *.gz) zcat "$file" ;; *) cat "$file" ;; esac | grep -caF "$folder" >/dev/null; then
      fail "${file#"$scratch/"} names $folder"
    fi
  done
done < <(find "$root" "$scratch/control" -type f -print0)

# Run from the scratch root: every library must come from the system.
for program in "${programs[@]}"; do
  out=$(env -u DISPLAY -u WAYLAND_DISPLAY "$root/usr/bin/$program" --version 2>&1) ||
    fail "$program --version failed: $out"
  [ "$out" = "$program $version" ] || fail "$program --version says '$out', not '$program $version'"
done
for program in veldrin veldrin-host veldrin-probe veldrin-calib; do
  missing=$(ldd "$root/usr/bin/$program" | grep -e 'not found' -e "$ROOT" || true)
  [ -z "$missing" ] || fail "$program: $missing"
done
corners=$(env -u VELDRIN_SCENE "$root/usr/bin/veldrin-probe" scene) || fail "veldrin-probe scene failed"
[ "$(grep -cE '^[0-9]+\.[0-9]{3}	[0-9]+\.[0-9]{3}$' <<<"$corners")" = 4 ] ||
  fail "veldrin-probe scene printed: $corners"

desktop-file-validate "$root"/usr/share/applications/*.desktop || fail "desktop entry"
appstreamcli validate-tree --no-net "$root" >"$scratch/appstream.txt" 2>&1 ||
  fail "AppStream: $(cat "$scratch/appstream.txt")"

[ $status -eq 0 ] && echo "check_package: $(basename "$deb") is clean"
exit $status
