#!/usr/bin/env bash
# Builds the release packages from the last commit and writes them to dist/:
#   plinka-VERSION-linux-x86_64.tar.gz     the Linux plug-ins, tools and documents
#   plinka-VERSION-windows-x64.zip         the same for 64-bit Windows hosts
#   plinka-VERSION-windows-x86.zip         and for 32-bit ones
#   plinka_VERSION-1_amd64.deb             the Debian package (Debian revision 1)
#   plinka-VERSION-windows-x64-setup.exe   the Windows installer (NSIS)
#   SHA256SUMS
# VERSION is the project's version in CMakeLists.txt. The commit is exported
# into build/package/ and built there, so nothing uncommitted leaks in; the
# compiler cache makes those builds cheap. The commit's date is every file's
# date. What each package holds is listed once, in README.md ("Install");
# tests/packages/test-packages.sh checks the packages against it.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
started=$(date +%s)
work=$root/build/package
dist=$root/dist

scripts/install-deps.sh native
scripts/install-deps.sh package

if [ -n "$(git status --porcelain --untracked-files=no)" ]; then
    echo "package: packaging the last commit; uncommitted changes are left out" >&2
fi
rm -rf "$work"
src=$work/src
stage=$work/stage
mkdir -p "$src" "$stage"
git archive HEAD | tar -x -C "$src"
commit=$(git rev-parse --short HEAD)
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct HEAD)
export SOURCE_DATE_EPOCH
export CCACHE_BASEDIR=$src CCACHE_NOHASHDIR=true

for preset in linux win64 win32; do
    echo "== package: build $preset"
    (cd "$src" && cmake --preset "$preset" -DPLINKA_TESTS=OFF -DPLINKA_BENCH=OFF >/dev/null &&
        cmake --build --preset "$preset")
done
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$src/build/linux/CMakeCache.txt")
[ -n "$version" ] || { echo "package: no project version in the Linux build" >&2; exit 1; }
deb_version=$version-1
echo "== package: Plinka $version"

# Every package carries these documents, and an install note for its platform.
stage_documents() {  # FOLDER NOTE
    mkdir -p "$1/docs"
    cp "$src/README.md" "$src/LICENSE" "$src/packaging/THIRD-PARTY.txt" "$1/"
    sed "s/@VERSION@/$version/g; s/@DEB_VERSION@/$deb_version/g" "$2" >"$1/INSTALL.txt"
    cp "$src/docs/manual.md" "$1/docs/"
    cp -r "$src/docs/pictures" "$1/docs/"
}

# The plug-ins and tools of one build, stripped of what only a debugger reads.
stage_linux() {  # FOLDER
    local build=$src/build/linux
    mkdir -p "$1"
    install -m 755 "$build/plinka-render" "$build/plinka-bank" "$build/plinka-info" "$1/"
    install -m 644 "$build/PLINKA.so" "$build/Plinka.clap" "$1/"
    cp -r "$build/Plinka.vst3" "$1/"
    # The LV2 bundle, where the build makes one.
    if [ -d "$build/Plinka.lv2" ]; then cp -r "$build/Plinka.lv2" "$1/"; fi
    find "$1" -type f \( -name '*.so' -o -name '*.clap' \) -exec strip --strip-unneeded --remove-section=.comment \
        --remove-section=.note {} + -exec chmod 644 {} +
    strip --remove-section=.comment --remove-section=.note "$1"/plinka-*
}
stage_windows() {  # PRESET TOOLCHAIN-PREFIX FOLDER
    local build=$src/build/$1
    mkdir -p "$3"
    cp "$build/PLINKA.dll" "$build/Plinka.clap" "$build"/plinka-*.exe "$3/"
    cp -r "$build/Plinka.vst3" "$3/"
    find "$3" -type f \( -name '*.dll' -o -name '*.exe' -o -name '*.clap' -o -name '*.vst3' \) |
        xargs "$2-strip" --strip-unneeded
}

# Archives list their files in name order, with the commit's date, owned by root.
finish_tree() {  # FOLDER
    chmod -R u=rwX,go=rX "$1"
    find "$1" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
}
make_tar() {  # NAME
    finish_tree "$stage/$1"
    tar -C "$stage" --sort=name --owner=0 --group=0 --numeric-owner --mtime="@$SOURCE_DATE_EPOCH" -cf - "$1" |
        gzip -9n >"$dist/$1.tar.gz"
}
make_zip() {  # NAME
    finish_tree "$stage/$1"
    (cd "$stage" && find "$1" | LC_ALL=C sort | TZ=UTC zip -qX9 -@ "$dist/$1.zip")
}

rm -rf "$dist"
mkdir -p "$dist"

linux=plinka-$version-linux-x86_64
stage_linux "$stage/$linux"
stage_documents "$stage/$linux" "$src/packaging/linux/INSTALL.txt"
make_tar "$linux"

win64=plinka-$version-windows-x64
stage_windows win64 x86_64-w64-mingw32 "$stage/$win64"
stage_documents "$stage/$win64" "$src/packaging/windows/INSTALL.txt"
make_zip "$win64"

win32=plinka-$version-windows-x86
stage_windows win32 i686-w64-mingw32 "$stage/$win32"
stage_documents "$stage/$win32" "$src/packaging/windows/INSTALL.txt"
make_zip "$win32"

echo "== package: Debian package"
# Laid out as a source package's debian/ folder: dpkg-gencontrol writes the
# control file from its control file and changelog, with the Depends that
# dpkg-shlibdeps finds for the binaries' shared libraries.
debian=$work/deb/debian
deb=$debian/plinka
mkdir -p "$deb/DEBIAN" "$deb/usr/bin" "$deb/usr/lib/vst" "$deb/usr/lib/clap" "$deb/usr/lib/vst3" "$deb/usr/share/man/man1" \
    "$deb/usr/share/doc/plinka"
mv "$stage/$linux"/plinka-* "$deb/usr/bin/"
mv "$stage/$linux/PLINKA.so" "$deb/usr/lib/vst/"
mv "$stage/$linux/Plinka.clap" "$deb/usr/lib/clap/"
mv "$stage/$linux/Plinka.vst3" "$deb/usr/lib/vst3/"
if [ -d "$stage/$linux/Plinka.lv2" ]; then
    mkdir -p "$deb/usr/lib/lv2"
    mv "$stage/$linux/Plinka.lv2" "$deb/usr/lib/lv2/"
fi
doc=$deb/usr/share/doc/plinka
cp "$stage/$linux/README.md" "$stage/$linux/THIRD-PARTY.txt" "$stage/$linux/docs/manual.md" "$doc/"
cp -r "$stage/$linux/docs/pictures" "$doc/"
# The maintainer's name and address, one line in packaging/MAINTAINER, stand
# wherever the package names them.
maintainer=$(<"$src/packaging/MAINTAINER")
[[ $maintainer =~ ^[^\<\>|]+\ \<[^@\<\>|]+@[^@\<\>|]+\>$ ]] ||
    { echo "package: packaging/MAINTAINER is not one 'Name <address>' line" >&2; exit 1; }
with_maintainer() {  # FILE
    sed "s|@MAINTAINER@|$maintainer|g" "$1"
}
with_maintainer "$src/packaging/debian/copyright" >"$doc/copyright"
mkdir -p "$deb/usr/share/lintian/overrides"
cp "$src/packaging/debian/lintian-overrides" "$deb/usr/share/lintian/overrides/plinka"
date=$(date -u -d "@$SOURCE_DATE_EPOCH" +%Y-%m-%d)
for page in "$src"/docs/man/*.1; do
    sed "s/@VERSION@/$version/g; s/@DATE@/$date/g" "$page" | gzip -9n >"$deb/usr/share/man/man1/$(basename "$page").gz"
done
with_maintainer "$src/packaging/debian/control" >"$debian/control"
cat >"$debian/changelog" <<CHANGELOG
plinka ($deb_version) unstable; urgency=medium

  * Plinka $version, built from commit $commit.

 -- $maintainer  $(date -u -R -d "@$SOURCE_DATE_EPOCH")
CHANGELOG
gzip -9nc "$debian/changelog" >"$doc/changelog.Debian.gz"
(
    cd "$work/deb"
    echo "misc:Depends=" >debian/substvars
    find "$deb/usr" -type f \( -perm -u+x -o -name '*.so' -o -name '*.clap' \) -print0 |
        xargs -0 dpkg-shlibdeps -Tdebian/substvars
    dpkg-gencontrol -pplinka -P"$deb" -Tdebian/substvars
)
finish_tree "$deb"
chmod 755 "$deb"/usr/bin/*
(cd "$deb" && find usr -type f | LC_ALL=C sort | xargs md5sum >DEBIAN/md5sums)
chmod 644 "$deb/DEBIAN/md5sums" "$deb/DEBIAN/control"
dpkg-deb --root-owner-group -Zxz --build "$deb" "$dist/plinka_${deb_version}_amd64.deb" >/dev/null

echo "== package: Windows installer"
makensis -V2 -DVERSION="$version" -DSTAGE="$stage/$win64" -DOUTFILE="$dist/plinka-$version-windows-x64-setup.exe" \
    "$src/packaging/windows/plinka.nsi"

(cd "$dist" && sha256sum -- plinka* >SHA256SUMS)
echo "== package: dist/ written in $(($(date +%s) - started)) s"
(cd "$dist" && ls -l --time-style=+ -- *)
