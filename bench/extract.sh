#!/usr/bin/env bash
# Extraction under Wine: the launcher against liblzma alone (bench/baseline), one command.
#
#   bash bench/extract.sh                   256 MiB engine, 5 runs of each
#   BENCH_MB=32 bash bench/extract.sh       a quick try
#   BENCH_RUNS=9 BENCH_LAUNCHER=other.exe bash bench/extract.sh
#
# The engine is dist/engine.exe followed by a deterministic tar of /usr/lib (sorted names, mtime
# 0, owner 0), cut to BENCH_MB MiB: real binaries, and still a program that runs (the tar is
# data behind its last section). It is packed once per launcher with ravelpack's default preset
# and cached in build/bench/ (packing 256 MiB takes about five minutes).
#
# Both programs run under bench/runner (a job object), alternately, after one warm-up run of
# each. Time: from process start until the program starts its first child, which the launcher
# does once the temporary copy is written and closed (the engine), and the baseline the same way
# (its copy). Memory: the peak working set of the program itself (Wine: the kernel's VmHWM); the
# baseline loads the same system DLLs as the launcher, so the difference is the buffers.
# Targets: launcher time <= 1.10 x baseline, launcher peak <= baseline + 4 MiB.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
mb=${BENCH_MB:-256}
runs=${BENCH_RUNS:-5}
launcher=${BENCH_LAUNCHER:-dist/launcher.exe}
work=build/bench
bin=$work/bin

if [ ! -f "$launcher" ] || [ ! -x dist/ravelpack ] || [ ! -f dist/engine.exe ]; then
  bash scripts/build.sh
fi
bash bench/build.sh

engine=$work/engine-$mb.bin
if [ ! -f "$engine" ]; then
  echo "== making a $mb MiB engine ($engine)"
  cp dist/engine.exe "$engine.tmp"
  size=$(stat -c %s dist/engine.exe)
  (tar --sort=name --mtime=@0 --owner=0 --group=0 --numeric-owner -cf - -C /usr lib 2>/dev/null ||
    true) | head -c $((mb * 1048576 - size)) >>"$engine.tmp"
  mv "$engine.tmp" "$engine"
fi

key=$(cat "$launcher" "$engine" | sha256sum | cut -c1-16)
package=$work/package-$mb-$key.exe
if [ ! -f "$package" ]; then
  echo "== packing $engine with $launcher (default preset; minutes for 256 MiB)"
  start=$(date +%s)
  dist/ravelpack build --launcher "$launcher" --engine32 "$engine" --out "$package.tmp" >/dev/null
  mv "$package.tmp" "$package"
  echo "   packed in $(($(date +%s) - start)) s: $(stat -c %s "$package") bytes"
  # Packages of older launchers of the same size are of no further use.
  find "$work" -maxdepth 1 -name "package-$mb-*.exe" ! -name "$(basename "$package")" -delete
fi

export WINEPREFIX=$root/$work/wineprefix WINEARCH=win32 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "== creating the Wine prefix $WINEPREFIX"
  wineboot -i >/dev/null 2>&1
  wineserver -w
fi
# One wineserver for all runs, so that no run pays for starting it; ended on the way out.
wineserver -p
trap 'wineserver -k 2>/dev/null || true' EXIT

# The programs run from the bench folder, so that neither pays for a longer path.
cp "$package" "$work/setup.exe"
results=$work/extract-$mb.txt
: >"$results"
run() {  # run NAME COMMAND...
  local line
  line=$(cd "$work" && wine bin/runner.exe "${@:2}" | tr -d '\r')
  case "$line" in
    *" exit=0") ;;
    *) echo "extract.sh: $1 failed: $line" >&2; exit 1 ;;
  esac
  echo "$1 $line" >>"$results"
  echo "   $1 $line"
}
echo "== $runs runs of each, alternately, after one warm-up ($mb MiB engine)"
(cd "$work" && wine bin/runner.exe bin/baseline.exe setup.exe 'C:\bench-copy.exe' >/dev/null &&
  wine bin/runner.exe setup.exe >/dev/null)
for i in $(seq "$runs"); do
  run baseline bin/baseline.exe setup.exe 'C:\bench-copy.exe'
  run launcher setup.exe
done
rm -f "$work/setup.exe"

python3 - "$results" "$launcher" <<'PY'
import statistics, sys, os
rows = {}
for line in open(sys.argv[1]):
    name, *fields = line.split()
    rows.setdefault(name, []).append({k: float(v) for k, v in (f.split("=") for f in fields)})
def med(name, key):
    return statistics.median(r[key] for r in rows[name])
MiB = 1048576
print()
print(f"{'':10}{'time to copy (ms)':>20}{'whole run (ms)':>16}{'peak WS (MiB)':>15}{'peak private (MiB)':>20}")
for name in ("baseline", "launcher"):
    print(f"{name:10}{med(name,'child_ms'):20.0f}{med(name,'wall_ms'):16.0f}"
          f"{med(name,'peak_ws')/MiB:15.1f}{med(name,'peak_private')/MiB:20.1f}")
ratio = med("launcher", "child_ms") / med("baseline", "child_ms")
extra = (med("launcher", "peak_ws") - med("baseline", "peak_ws")) / MiB
print(f"medians of {len(rows['launcher'])} runs each")
print(f"time:   launcher / baseline = {ratio:.3f}   (target <= 1.10: {'met' if ratio <= 1.10 else 'MISSED'})")
print(f"memory: launcher - baseline = {extra:+.1f} MiB (target <= +4 MiB: {'met' if extra <= 4 else 'MISSED'})")
print(f"launcher.exe: {os.path.getsize(sys.argv[2])} bytes")
PY
