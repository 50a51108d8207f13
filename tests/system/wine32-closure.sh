#!/bin/bash
# wine32-closure.sh DIR: Debian's wine32:i386 and the i386 packages it needs
# beyond what this machine has, downloaded through a private APT
# configuration (this machine's Debian sources, architectures amd64 and i386;
# its own APT and dpkg state stay untouched) and unpacked into DIR/root, to be
# laid over this machine's root in the test VM. Reused while DIR/root/ready
# exists; without network, whatever DIR holds.
set -euo pipefail
dir=$(realpath -m "$1")
[[ -f $dir/root/ready ]] && exit 0
apt=$dir/apt
mkdir -p "$apt/sources" "$apt/lists/partial" "$apt/archives/partial" "$dir/debs"
grep -l 'debian\.org' /etc/apt/sources.list.d/*.sources /etc/apt/sources.list.d/*.list \
  /etc/apt/sources.list 2>/dev/null | xargs -r cp -t "$apt/sources" || true
opts=(-o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$apt/sources"
      -o Dir::State::Lists="$apt/lists" -o Dir::Cache="$apt" -o Dir::Cache::archives="$apt/archives"
      -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache= -o Debug::NoLocking=1
      -o APT::Architectures::=amd64 -o APT::Architectures::=i386)
apt-get "${opts[@]}" update >"$dir/apt.log" 2>&1 || { tail -n 5 "$dir/apt.log" >&2; exit 1; }
# What installing it would add (no upgrade of an installed package: the
# amd64 side stays as it is), at the versions it would take.
apt-get "${opts[@]}" -s install --no-install-recommends wine32:i386 >"$dir/closure.txt" 2>&1 ||
  { tail -n 5 "$dir/closure.txt" >&2; exit 1; }
mapfile -t wanted < <(sed -n 's/^Inst \([^ ]*\) (\([^ ]*\) .*/\1=\2/p' "$dir/closure.txt")
[[ ${#wanted[@]} -gt 0 ]] || { echo "no package to download for wine32:i386" >&2; exit 1; }
(cd "$dir/debs" && apt-get "${opts[@]}" download "${wanted[@]}" >>"$dir/apt.log" 2>&1) ||
  { tail -n 5 "$dir/apt.log" >&2; exit 1; }
rm -rf "$dir/root" && mkdir -p "$dir/root"
for deb in "$dir"/debs/*.deb; do dpkg-deb -x "$deb" "$dir/root"; done
# This machine's /bin, /lib... are links into /usr: a directory there would hide them.
for d in bin sbin lib lib32 lib64 libx32; do
  if [[ -d $dir/root/$d && ! -L $dir/root/$d ]]; then
    mkdir -p "$dir/root/usr/$d" && cp -a "$dir/root/$d/." "$dir/root/usr/$d/" && rm -rf "${dir:?}/root/$d"
  fi
done
echo "${#wanted[@]} packages" >"$dir/root/ready"
