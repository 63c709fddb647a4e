#!/bin/bash
# Builds and tests every configuration: Linux (optimised, under
# AddressSanitizer/UBSan, and 32-bit) and Windows (32- and 64-bit, run under
# Wine), then the release packages (step "package": tests/package_test.sh,
# one test). Installs, or names, the packages of the chosen presets first.
# Stops at the first configuration that fails. The last line of output is the
# sum over all test runs: "N passed, N failed" and ", N skipped" if any.
#   TAVO_PRESETS="native mingw-i686" scripts/test.sh   runs only those presets.
set -euo pipefail
cd "$(dirname "$0")/.."

# The fuzz preset runs each libFuzzer target for 60 s with seed 1, besides the
# rest of the suite.
read -r -a presets <<<"${TAVO_PRESETS:-native asan fuzz linux-i686 mingw-i686 mingw-x86_64 package}"

passed=0
failed=0
skipped=0
summary() {
  local line="$passed passed, $failed failed"
  ((skipped == 0)) || line+=", $skipped skipped"
  echo "$line"
}
stop_wine() {
  # Wine's server lingers for a minute after the last test; end it now.
  local prefix
  for prefix in build/mingw-*/wineprefix; do
    [[ -d $prefix ]] && WINEPREFIX=$PWD/$prefix wineserver -k 2>/dev/null || true
  done
}
trap stop_wine EXIT
# Reads `ctest --show-only=json-v1` and, when the build runs its programs
# through a qemu emulator, prints "run NAME" for each test that goes through
# it and "skip NAME" for each that starts a program itself.
through_emulator() {
  python3 -c '
import json, os, sys
tests = json.load(sys.stdin)["tests"]
runners = {t["command"][0] for t in tests
           if t.get("command") and os.path.basename(t["command"][0]).startswith("qemu-")}
for t in tests if runners else []:
    through = any(r in word for r in runners for word in t.get("command", []))
    print("run" if through else "skip", t["name"])'
}

scripts/install-deps.sh "${presets[@]}"

started=$SECONDS
for preset in "${presets[@]}"; do
  echo "=== $preset"
  preset_started=$SECONDS
  # Not a CMake preset: the package test builds from clean clones of HEAD.
  if [[ $preset == package ]]; then
    if ! tests/package_test.sh; then
      failed=$((failed + 1))
      echo "=== package: failed"
      summary
      exit 1
    fi
    passed=$((passed + 1))
    echo "=== package: tested in $((SECONDS - preset_started)) s"
    continue
  fi
  mkdir -p build
  log=build/$preset.log
  if ! cmake --preset "$preset" >"$log" 2>&1 || ! cmake --build --preset "$preset" -j2 >>"$log" 2>&1; then
    tail -n 40 "$log"
    echo "=== $preset: configure or build failed (log: $log)"
    failed=$((failed + 1))
    summary
    exit 1
  fi
  echo "built in $((SECONDS - preset_started)) s"

  # Some kernels run no 32-bit x86 programs at all ("Exec format error"), and
  # the 32-bit Windows build needs Wine's 32-bit loader. There the build is
  # still checked, and its tests count as skipped, with the reason.
  if [[ $preset == mingw-i686 ]] && ! wine --version >/dev/null 2>&1; then
    total=$(ctest --preset "$preset" -N | sed -n 's/^Total Tests: *//p')
    skipped=$((skipped + total))
    echo "=== $preset: $total tests skipped: this machine cannot run 32-bit programs (wine --version fails)"
    continue
  fi

  # Tests the test preset leaves out (its description says why) count as skipped.
  all=$(ctest --test-dir "build/$preset" -N | sed -n 's/^Total Tests: *//p')
  kept=$(ctest --preset "$preset" -N | sed -n 's/^Total Tests: *//p')
  if ((all > kept)); then
    skipped=$((skipped + all - kept))
    echo "=== $preset: $((all - kept)) tests left out by its test preset (CMakePresets.json says why)"
  fi

  # Where the kernel runs no 32-bit programs, the 32-bit Linux build runs its
  # programs through qemu-user, its emulator (cmake/toolchain-linux-i686.cmake);
  # tests that start the program themselves cannot, and count as skipped.
  only=()
  if [[ $preset == linux-i686 ]]; then
    verdicts=$(ctest --preset "$preset" --show-only=json-v1 | through_emulator)
    direct=$(sed -n 's/^skip //p' <<<"$verdicts")
    if [[ -n $direct ]]; then
      skipped=$((skipped + $(wc -l <<<"$direct")))
      echo "=== $preset: $(wc -l <<<"$direct") tests skipped: the build runs its programs through" \
        "qemu-i386-static (no 32-bit programs on this kernel), and these start it themselves:" $direct
      # -R keeps the preset's own exclusions, which -E would replace. Test
      # names hold letters, digits, "_" and ".".
      only=(-R "^($(sed -n 's/^run //p' <<<"$verdicts" | sed 's/\./\\./g' | paste -sd '|'))\$")
    fi
  fi

  ctest_log=build/$preset.ctest.log
  set +e
  ctest --preset "$preset" -j2 "${only[@]}" 2>&1 | tee "$ctest_log"
  status=${PIPESTATUS[0]}
  set -e
  # "95% tests passed, 1 tests failed out of 20"; skipped tests count as passed there.
  counts=$(sed -n 's/.*tests passed, \([0-9]*\) tests\{0,1\} failed out of \([0-9]*\).*/\1 \2/p' "$ctest_log")
  run_skipped=$(grep -cE '^[[:space:]]*[0-9]+ - .* \((Skipped|Disabled)\)$' "$ctest_log" || true)
  if [[ -z $counts ]]; then
    echo "=== $preset: no test summary from ctest"
    failed=$((failed + 1))
    summary
    exit 1
  fi
  read -r run_failed run_total <<<"$counts"
  passed=$((passed + run_total - run_failed - run_skipped))
  failed=$((failed + run_failed))
  skipped=$((skipped + run_skipped))
  echo "=== $preset: built and tested in $((SECONDS - preset_started)) s"
  if ((status != 0)); then
    summary
    exit 1
  fi
done
echo "=== all presets in $((SECONDS - started)) s"
summary
