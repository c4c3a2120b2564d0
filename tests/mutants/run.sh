#!/usr/bin/env bash
# Replays the planted faults (see README.md): each patch is applied to a
# scratch copy of the working tree in build-mutants/src (the tree itself is
# never touched, so an interrupted run leaves nothing to undo), the copy is
# rebuilt incrementally in build-mutants/build, and the CTest tests that the
# patch's "# tests:" line names are run. One line per patch, then a summary.
# Usage: tests/mutants/run.sh [--all] [PATCH...]   (--all: every test, not just the named ones)
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
work="$root/build-mutants"
src="$work/src" build="$work/build"
all=0
[ "${1:-}" = --all ] && all=1 && shift
[ $# -gt 0 ] && patches=("$@") || patches=("$root"/tests/mutants/*.patch)
# The copy lies inside this repository; git must not take it for part of it.
export GIT_CEILING_DIRECTORIES="$work"
caught=0 missed=0 broken=0
trap 'echo "interrupted: $caught caught, $missed missed, $broken not run"; exit 130' INT TERM

# Makes the copy equal to the working tree (tracked and untracked files, not
# ignored ones), writing only the files that differ so the build stays incremental.
mirror() {
  local files
  files=$(cd "$root" && git ls-files -co --exclude-standard | sort -u)
  (cd "$src" && find . -type f | sed 's|^\./||' | sort | comm -23 - <(echo "$files") | xargs -r -d '\n' rm -f)
  while IFS= read -r f; do
    [ -f "$root/$f" ] && ! cmp -s "$root/$f" "$src/$f" && mkdir -p "$(dirname "$src/$f")" && cp "$root/$f" "$src/$f"
  done <<<"$files"
}

mkdir -p "$src" && mirror
if [ ! -f "$build/CMakeCache.txt" ]; then
  echo "first build of the scratch copy in $build ..."
  LAUNCHER_BUILD_DIR="$build" "$src/scripts/build.sh" >"$work/first-build.log" 2>&1 ||
    { echo "the unchanged tree does not build: see $work/first-build.log"; exit 1; }
fi

for patch in "${patches[@]}"; do
  patch=$(realpath "$patch") name=$(basename "$patch" .patch)
  log="$work/$name.log" tests=$(sed -n 's/^# tests: *//p' "$patch" | head -n 1)
  mirror
  # What the named tests run; every program but the benchmarks with --all.
  targets=""
  for test in ${tests:-all}; do
    case "$test" in
      updater) targets+=" updater_tests" ;;
      updater_tool) targets+=" updater_pass_runner" ;;
      updater_tls) targets+=" updater_pass_runner root_cert" ;;
      ui) targets+=" ui_tests" ;;
      game) targets+=" game_tests StubGame" ;;
      app) targets+=" app_tests Launcher" ;;
      app_signing | app_imports) targets+=" Launcher" ;;
      e2e) targets+=" Launcher LauncherTls StubGame" ;;
      e2e_platform | e2e_headless) targets+=" Launcher LauncherNext StubGame" ;;
      *) targets="all" ;;
    esac
  done
  [ "$all" = 1 ] || [[ " $targets " == *" all "* ]] &&
    targets=$(cmake --build "$build" --target help | sed -n 's/^\.\.\. \([A-Za-z0-9_]*\)\( (.*)\)\{0,1\}$/\1/p' |
      grep -vxE '.*_bench|minimal_window|all|clean|depend|.*cache|test')
  if ! (cd "$src" && git apply "$patch") >"$log" 2>&1; then
    echo "$name: NOT APPLIED (see $log)" && broken=$((broken + 1)) && continue
  elif ! cmake --build "$build" -j"$(nproc)" --target $targets >>"$log" 2>&1 ||
    # app_imports reads the shipped 32-bit program, built in a folder of its own.
    { [[ " $tests " == *" app_imports "* ]] &&
      ! cmake --build "$build/i686" -j"$(nproc)" --target Launcher >>"$log" 2>&1; }; then
    echo "$name: BUILD FAILED (see $log)" && broken=$((broken + 1)) && continue
  fi
  filter=(-R "^(${tests// /|})\$")
  [ "$all" = 1 ] || [ -z "$tests" ] && filter=()
  "$src/scripts/sandbox.sh" "$build" ctest --test-dir "$build" --output-on-failure "${filter[@]}" >>"$log" 2>&1
  failed=$(sed -n 's/^[[:space:]]*[0-9][0-9]* - \([^ ]*\) (.*/\1/p' "$log" | sort -u | xargs)
  cases=$(grep -oE '^\[  FAILED  \] [A-Za-z0-9_]+\.[A-Za-z0-9_]+|^(FAIL|ERROR): [a-z_0-9]+' "$log" |
    sed -E 's/^(\[  FAILED  \]|FAIL:|ERROR:) //' | sort -u | xargs)
  if [ -n "$failed" ]; then
    echo "$name: caught by $failed${cases:+ [$cases]}" && caught=$((caught + 1))
  else
    echo "$name: MISSED (ran: ${tests:-all})" && missed=$((missed + 1))
  fi
done
mirror  # the copy is clean again for the next run
echo "summary: $caught caught, $missed missed, $broken not applied or not built, of ${#patches[@]}"
[ "$missed" -eq 0 ] && [ "$broken" -eq 0 ]
