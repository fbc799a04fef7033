# shellcheck shell=bash
# Shared code of the benchmark scripts in this folder; sourced, not run.
#
# A script sets BENCH_NAME (the prefix of its error messages) and `set -euo pipefail`, then
# sources this file, which sets:
#   REPO     the repository root
#   BUILD    the Release build folder, build-bench/
#   TORVANE  the torvane binary in it
#   ROUNDS   timed rounds per tool (environment, default 5)
# and after bench_setup_work also WORK (the work directory) and OWN_WORK (1 = made here).
#
# Environment read here:
#   ROUNDS     timed rounds per tool (default 5)
#   BENCH_DIR  work directory, kept; disks made there are reused between runs
#              (default: a fresh mktemp -d under /var/tmp)
#   KEEP       1 = keep the work directory even when it was made by the script
#
# Hooks a script may provide:
#   BENCH_OUTPUTS    array of paths the timed commands write. Before every timed run they are
#                    deleted and `sync` is called (outside the timing); they are deleted on exit.
#                    Left empty, nothing is deleted or synced between runs.
#   script_cleanup   function run on exit, before the work directory is removed.

[[ -n "${BENCH_NAME:-}" ]] || { echo "lib.sh: set BENCH_NAME before sourcing" >&2; exit 1; }

REPO="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$REPO/build-bench"
TORVANE="$BUILD/torvane"
ROUNDS="${ROUNDS:-5}"
BENCH_OUTPUTS=()

# The fixture scripts' shared steps; bench's own die and say below replace theirs.
source "$REPO/tools/lib.sh"

# Prints an error prefixed with the script's name and exits 1.
die() { echo "$BENCH_NAME: $*" >&2; exit 1; }

# Prints a progress message to stderr.
say() { echo "$*" >&2; }

# Exits with an error unless every named command is on the PATH.
bench_require_tools() {
  local tool hint
  for tool in "$@"; do
    hint=""
    [[ "$tool" == qemu-img ]] && hint=" (install qemu-utils)"
    command -v "$tool" >/dev/null || die "$tool not found$hint"
  done
}

# Exits with an error unless the variable named $1 holds a positive integer.
bench_require_positive() {
  [[ "${!1}" =~ ^[1-9][0-9]*$ ]] || die "$1 must be a positive integer"
}

# Configures (once) and builds torvane in Release into build-bench/, tests off.
bench_build() {
  if [[ ! -f "$BUILD/build.ninja" ]]; then
    cmake -S "$REPO" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTORVANE_TESTS=OFF >/dev/null
  fi
  ninja -C "$BUILD" torvane_cli >/dev/null
  [[ -x "$TORVANE" ]] || die "build did not produce $TORVANE"
}

# Sets WORK to BENCH_DIR (made if missing, kept) or to a fresh /var/tmp/torvane-bench.XXXXXX
# (removed on exit unless KEEP=1), and installs the exit trap.
bench_setup_work() {
  if [[ -n "${BENCH_DIR:-}" ]]; then
    WORK="$BENCH_DIR"
    mkdir -p "$WORK"
    OWN_WORK=0
  else
    WORK="$(mktemp -d /var/tmp/torvane-bench.XXXXXX)"
    OWN_WORK=1
  fi
  trap bench_exit EXIT
}

# Exit trap: the script's own cleanup, then the outputs, then the work directory if it is ours.
bench_exit() {
  if declare -F script_cleanup >/dev/null; then script_cleanup; fi
  bench_remove_outputs
  if [[ "$OWN_WORK" == 1 && "${KEEP:-0}" != 1 ]]; then rm -rf "$WORK"; fi
}

# Deletes the paths in BENCH_OUTPUTS.
bench_remove_outputs() {
  if ((${#BENCH_OUTPUTS[@]})); then rm -rf "${BENCH_OUTPUTS[@]}"; fi
}

# Prints the wall time of "$@" in seconds (3 decimals); fails if the command fails. Before
# the clock starts, the outputs are deleted and, if there are any, `sync` writes back whatever
# the previous run left dirty (and, on a filesystem mounted with discard, issues the discards
# for the deleted files), so every run starts equal. Nothing is dropped from the page cache.
bench_elapsed() {
  local t0 t1
  if ((${#BENCH_OUTPUTS[@]})); then
    bench_remove_outputs
    sync
  fi
  t0=$(date +%s.%N)
  "$@" || die "$* failed"
  t1=$(date +%s.%N)
  awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }'
}

# Prints the median of its numeric arguments (3 decimals).
bench_median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END {
  if (NR % 2) printf "%.3f", v[(NR + 1) / 2]; else printf "%.3f", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# bench_compare RUN_TORVANE OTHER_NAME RUN_OTHER
# Times ROUNDS rounds of the two commands, alternating which goes first so neither always
# follows the other's writeback, and prints a table of one line per round, the medians and
# "ratio: X.XX" = median(torvane) / median(other).
bench_compare() {
  local run_t="$1" other="$2" run_o="$3"
  local -a t_times=() o_times=()
  local i t o mt mo
  printf '%-6s %10s %10s\n' round torvane "$other"
  for ((i = 1; i <= ROUNDS; i++)); do
    if ((i % 2)); then
      t=$(bench_elapsed "$run_t"); o=$(bench_elapsed "$run_o")
    else
      o=$(bench_elapsed "$run_o"); t=$(bench_elapsed "$run_t")
    fi
    t_times+=("$t") o_times+=("$o")
    printf '%-6s %9ss %9ss\n' "$i" "$t" "$o"
  done
  mt=$(bench_median "${t_times[@]}")
  mo=$(bench_median "${o_times[@]}")
  printf '%-6s %9ss %9ss\n' median "$mt" "$mo"
  awk -v t="$mt" -v o="$mo" 'BEGIN { printf "ratio: %.2f\n", (o > 0 ? t / o : 0) }'
}

# --- NTFS test volumes: the fixture scripts' steps (tools/lib.sh). A script sets WORK, MNT,
# PART, RAW, PART_START, PART_SECTORS and DISK_SECTORS, calls bench_ntfs_volume, then uses
# new_ntfs_disk, mount_ntfs, unmount_ntfs, place_partition and, from script_cleanup,
# ntfs_cleanup. ----------------------------------------------------------------------------

bench_ntfs_volume() {
  NTFS_IMAGE="$PART" NTFS_LOG="$WORK/ntfs-3g.log" NTFS_OPTS=no_detach,noatime
}
