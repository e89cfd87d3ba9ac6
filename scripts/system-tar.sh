#!/usr/bin/env bash
# system-tar.sh BUILD_DIR: builds the tests' copy of the archive tool Windows 10 and 11 ship
# in System32 (libarchive's bsdtar) into BUILD_DIR/system-tar/tar.exe, once per build tree.
# The source comes from Debian's source package through an apt configuration of its own
# (its own sources list, state and cache folders), so the machine's apt setup is untouched.
# Only the tar front end is built, statically, with Debian's MinGW zlib for zip's deflate;
# every other optional library is off.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:?build dir}" && pwd)
work="$build/system-tar"
out="$work/tar.exe"
# Bump when the recipe changes so existing build trees rebuild the tool.
recipe=1
if [ -f "$out" ] && [ "$(cat "$work/recipe" 2>/dev/null)" = "$recipe" ]; then exit 0; fi

started=$(date +%s)
echo "system-tar: building bsdtar from Debian's libarchive source (once per build tree)"
rm -rf "$work"
mkdir -p "$work/apt/etc/sources.list.d" "$work/apt/etc/preferences.d" \
  "$work/apt/state/lists/partial" "$work/apt/cache/archives/partial" "$work/source"
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg]" \
  "http://deb.debian.org/debian $codename main" >"$work/apt/etc/sources.list"
apt_private=(
  -o Dir::Etc::SourceList="$work/apt/etc/sources.list"
  -o Dir::Etc::SourceParts="$work/apt/etc/sources.list.d"
  -o Dir::Etc::Preferences="$work/apt/etc/preferences.d"
  -o Dir::Etc::PreferencesParts="$work/apt/etc/preferences.d"
  -o Dir::State="$work/apt/state"
  -o Dir::Cache="$work/apt/cache"
  -o Debug::NoLocking=1
)
# The private lists are ours alone: no lock on the machine's apt is needed or taken.
apt-get -qq "${apt_private[@]}" update >"$work/apt.log" 2>&1 ||
  { cat "$work/apt.log" >&2; exit 1; }
(cd "$work/source" && apt-get -qq "${apt_private[@]}" source --download-only libarchive) \
  >>"$work/apt.log" 2>&1 || { cat "$work/apt.log" >&2; exit 1; }
dsc=$(ls "$work/source"/libarchive_*.dsc)
# dpkg-source checks the files against the .dsc (whose own hash the signed index vouched for)
# and applies Debian's patches.
dpkg-source -x "$dsc" "$work/source/libarchive" >>"$work/apt.log" 2>&1 ||
  { cat "$work/apt.log" >&2; exit 1; }

launcher=()
if command -v ccache >/dev/null 2>&1; then launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache); fi
off=(ENABLE_MBEDTLS ENABLE_NETTLE ENABLE_OPENSSL ENABLE_LIBB2 ENABLE_LZ4 ENABLE_LZO ENABLE_LZMA
  ENABLE_ZSTD ENABLE_BZip2 ENABLE_LIBXML2 ENABLE_EXPAT ENABLE_PCREPOSIX ENABLE_LIBGCC ENABLE_CNG
  ENABLE_CPIO ENABLE_CAT ENABLE_XATTR ENABLE_ACL ENABLE_ICONV ENABLE_TEST ENABLE_INSTALL
  ENABLE_TAR_SHARED ENABLE_WERROR)
defs=()
for o in "${off[@]}"; do defs+=("-D$o=OFF"); done
cmake -S "$work/source/libarchive" -B "$work/cmake" -G Ninja "${launcher[@]}" \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_CROSSCOMPILING_EMULATOR= -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF \
  -DENABLE_TAR=ON -DENABLE_ZLIB=ON -DPOSIX_REGEX_LIB=NONE \
  -DZLIB_INCLUDE_DIR=/usr/x86_64-w64-mingw32/include \
  -DZLIB_LIBRARY=/usr/x86_64-w64-mingw32/lib/libz.a \
  "${defs[@]}" >"$work/cmake.log" 2>&1 || { tail -40 "$work/cmake.log" >&2; exit 1; }
cmake --build "$work/cmake" --target bsdtar -- -j"$(nproc)" >"$work/build.log" 2>&1 ||
  { tail -40 "$work/build.log" >&2; exit 1; }
built=$(find "$work/cmake" -name bsdtar.exe | head -1)
[ -n "$built" ] || { echo "system-tar: bsdtar.exe was not built" >&2; exit 1; }
x86_64-w64-mingw32-strip -o "$out.tmp" "$built"
mv -f "$out.tmp" "$out"
echo "$recipe" >"$work/recipe"
echo "system-tar: $(basename "$dsc" .dsc) built in $(($(date +%s) - started)) s"
