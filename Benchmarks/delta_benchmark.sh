#!/usr/bin/env bash
# Our file deltas (kztool delta make/apply) against zstd --patch-from, xdelta3 and bsdiff on the same
# pairs: game-like files of 2 to 20 MB with 1 to 5% changed (inserted, overwritten and moved runs),
# and one pair of about 100 MB for the speed of applying. For each tool and pair it prints the delta's
# size (per cent of the new file) and the apply speed (MB/s of output, best of 3), then our total
# delta size against zstd's (goal <= 1.1) and our apply speed on the large pair (goal >= 500 MB/s).
#   Benchmarks/delta_benchmark.sh [KZTOOL]
# KZTOOL (or the environment variable of that name) is the kztool to measure, default build/kztool
# (built with scripts/setup.sh when missing). DELTA_BENCH_DIR is the work folder (default a new
# folder under $TMPDIR, removed at the end); DELTA_BENCH_LARGE_MB sizes the large pair (100, 0 for
# none); DELTA_BENCH_BSDIFF_LARGE=1 runs bsdiff on the large pair too (minutes, 1.7 GB of memory).
set -euo pipefail
cd "$(dirname "$0")/.."

kztool=${1:-${KZTOOL:-build/kztool}}
large_mb=${DELTA_BENCH_LARGE_MB:-100}

missing=()
for tool in zstd:zstd xdelta3:xdelta3 bsdiff:bsdiff bspatch:bsdiff; do
  command -v "${tool%%:*}" >/dev/null 2>&1 || missing+=("${tool#*:}")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  echo "delta benchmark: installing ${missing[*]}" >&2
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq $(printf '%s\n' "${missing[@]}" | sort -u)
fi
if [ ! -x "$kztool" ]; then
  if [ "$kztool" != build/kztool ]; then
    echo "delta benchmark: no kztool at $kztool" >&2
    exit 2
  fi
  BUILD_TARGET=kztool scripts/setup.sh >&2
fi
kztool=$(realpath "$kztool")

if [ -n "${DELTA_BENCH_DIR:-}" ]; then
  work=$DELTA_BENCH_DIR
  mkdir -p "$work"
else
  work=$(mktemp -d "${TMPDIR:-/tmp}/kzdeltabench.XXXXXX")
  trap 'rm -rf "$work"' EXIT
fi

# The pairs: NAME SIZE_MB CHANGED_PERCENT SEED. A file is a run of segments: text tables, binary
# records (ids, coordinates on a grid, flags) and random bytes (compressed textures and sounds).
pairs="a 2 1 1
b 5 3 2
c 8 5 3
d 12 2 4
e 20 4 5"
[ "$large_mb" -gt 0 ] && pairs="$pairs
large $large_mb 2 6"

python3 - "$work" "$pairs" <<'EOF'
import os, random, struct, sys

work, pairs = sys.argv[1], sys.argv[2]

def segment(rng, kind, size):
    if kind == 'random':
        return rng.randbytes(size)
    out, n = [], 0
    if kind == 'text':
        names = ['unit_%03d' % i for i in range(400)]
        while n < size:
            line = '%s,%d,%d,%.2f,%s\n' % (rng.choice(names), rng.randrange(100), rng.randrange(5000),
                                           rng.randrange(10000) / 100, rng.choice(('idle', 'walk', 'attack')))
            out.append(line.encode())
            n += len(line)
    else:
        ident = rng.randrange(1 << 20)
        while n < size:
            block = b''.join(struct.pack('<IfffH', ident + i, rng.randrange(256) * 0.5, rng.randrange(64) * 0.25,
                                         rng.randrange(256) * 0.5, rng.choice((0, 1, 3, 0x80)))
                             for i in range(256))
            ident += 256
            out.append(block)
            n += len(block)
    return b''.join(out)[:size]

def game_file(rng, size):
    parts, n = [], 0
    while n < size:
        kind = rng.choices(('random', 'text', 'binary'), (45, 25, 30))[0]
        part = segment(rng, kind, rng.randrange(16, 512) * 1024)
        parts.append(part)
        n += len(part)
    return b''.join(parts)[:size]

def edited(rng, old, percent):
    new = bytearray(old)
    budget = len(old) * percent // 100
    while budget > 0:
        run = min(budget, rng.randrange(1, 64) * 1024)
        what = rng.choice(('insert', 'overwrite', 'move'))
        at = rng.randrange(len(new) - run)
        if what == 'insert':
            new[at:at] = segment(rng, rng.choice(('random', 'text', 'binary')), run)
            budget -= run
        elif what == 'overwrite':
            new[at:at + run] = segment(rng, rng.choice(('random', 'text', 'binary')), run)
            budget -= run
        else:
            moved = bytes(new[at:at + run])
            del new[at:at + run]
            to = rng.randrange(len(new))
            new[to:to] = moved
            budget -= run // 8  # a move costs a few bytes, yet counts a little towards the changes
    return bytes(new)

for line in pairs.splitlines():
    name, mb, percent, seed = line.split()
    old_path, new_path = os.path.join(work, name + '.old'), os.path.join(work, name + '.new')
    if os.path.exists(old_path) and os.path.exists(new_path):
        continue
    rng = random.Random(int(seed))
    old = game_file(rng, int(mb) << 20)
    new = edited(rng, old, int(percent))
    with open(old_path, 'wb') as f:
        f.write(old)
    with open(new_path, 'wb') as f:
        f.write(new)
EOF

now() { date +%s%N; }
# Nanoseconds of the fastest of three runs of the command; fails when a run fails.
best_of_3() {
  local best=0 start took
  for _ in 1 2 3; do
    start=$(now)
    "$@" </dev/null >/dev/null 2>&1 || return 1
    took=$(( $(now) - start ))
    if [ "$best" -eq 0 ] || [ "$took" -lt "$best" ]; then best=$took; fi
  done
  echo "$best"
}

make_ours() { "$kztool" delta make "$1" "$2" "$3"; }
apply_ours() { "$kztool" delta apply "$1" "$2" "$3"; }
make_zstd() { zstd -q -f --patch-from="$1" -19 --long "$2" -o "$3"; }
apply_zstd() { zstd -q -f -d --long=31 --patch-from="$1" "$2" -o "$3"; }
make_xdelta3() { xdelta3 -9 -e -f -s "$1" "$2" "$3"; }
apply_xdelta3() { xdelta3 -d -f -s "$1" "$2" "$3"; }
make_bsdiff() { bsdiff "$1" "$2" "$3"; }
apply_bsdiff() { bspatch "$1" "$3" "$2"; }

tools="ours zstd xdelta3 bsdiff"
declare -A size_total new_total
for tool in $tools; do size_total[$tool]=0; new_total[$tool]=0; done
large_speed=

rows=()
while read -r name mb percent seed; do
  old=$work/$name.old new=$work/$name.new
  new_bytes=$(stat -c %s "$new")
  plain=$(zstd -q -19 --long -T0 -c "$new" </dev/null | wc -c)
  for tool in $tools; do
    delta=$work/$name.$tool.delta out=$work/$name.$tool.out
    if [ "$tool" = bsdiff ] && [ "$name" = large ] && [ "${DELTA_BENCH_BSDIFF_LARGE:-0}" != 1 ]; then
      rows+=("$name	$tool	$((new_bytes >> 20))	-	-	-	-	skipped")
      continue
    fi
    start=$(now)
    "make_$tool" "$old" "$new" "$delta" </dev/null >/dev/null 2>&1 || { rows+=("$name	$tool	-	-	-	-	-	make failed"); continue; }
    make_s=$(awk -v ns=$(( $(now) - start )) 'BEGIN { printf "%.1f", ns / 1e9 }')
    sync  # the writes of the step before are not to be timed with the apply
    apply_ns=$(best_of_3 "apply_$tool" "$old" "$delta" "$out") || { rows+=("$name	$tool	-	-	-	-	-	apply failed"); continue; }
    cmp -s "$out" "$new" || { rows+=("$name	$tool	-	-	-	-	-	wrong output"); continue; }
    delta_bytes=$(stat -c %s "$delta")
    speed=$(awk -v b="$new_bytes" -v ns="$apply_ns" 'BEGIN { printf "%.0f", b / 1048576 / (ns / 1e9) }')
    percent_of_new=$(awk -v d="$delta_bytes" -v n="$new_bytes" 'BEGIN { printf "%.2f", 100 * d / n }')
    rows+=("$name	$tool	$((new_bytes >> 20))	$delta_bytes	$percent_of_new	$make_s	$speed	")
    if [ "$name" = large ]; then
      if [ "$tool" = ours ]; then large_speed=$speed; fi
    else
      size_total[$tool]=$(( ${size_total[$tool]} + delta_bytes ))
      new_total[$tool]=$(( ${new_total[$tool]} + new_bytes ))
    fi
    rm -f "$out"
  done
  rows+=("$name	zstd -19 alone	$((new_bytes >> 20))	$plain	$(awk -v d="$plain" -v n="$new_bytes" 'BEGIN { printf "%.2f", 100 * d / n }')	-	-	no base")
done <<<"$pairs"

printf 'pair\ttool\tnew MB\tdelta bytes\t%% of new\tmake s\tapply MB/s\tnote\n'
printf '%s\n' "${rows[@]}"
echo
printf 'tool\tdelta bytes (2-20 MB pairs)\t%% of new\n'
for tool in $tools; do
  [ "${new_total[$tool]}" -gt 0 ] || continue
  printf '%s\t%s\t%s\n' "$tool" "${size_total[$tool]}" \
    "$(awk -v d="${size_total[$tool]}" -v n="${new_total[$tool]}" 'BEGIN { printf "%.2f", 100 * d / n }')"
done
echo
if [ "${size_total[zstd]}" -gt 0 ]; then
  awk -v o="${size_total[ours]}" -v z="${size_total[zstd]}" \
    'BEGIN { r = o / z; printf "delta size ours / zstd: %.3f (goal <= 1.1: %s)\n", r, (r <= 1.1 ? "met" : "missed") }'
fi
if [ -n "$large_speed" ]; then
  awk -v s="$large_speed" -v mb="$large_mb" \
    'BEGIN { printf "apply speed ours on the %d MB pair: %d MB/s (goal >= 500: %s)\n", mb, s, (s >= 500 ? "met" : "missed") }'
fi
