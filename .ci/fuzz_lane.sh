# The fuzz lane of .ci/run (sourced there): scripts/run_fuzz.sh, every
# harness for FUZZ_SECONDS (default 20) on a copy of its corpus, one check
# line per harness. CI installs clang and its fuzzer runtime, so a skip for
# want of them counts as a failed check rather than a silent pass.
fuzz_lane() {
  local log status
  log=$(mktemp)
  bash scripts/run_fuzz.sh "${FUZZ_SECONDS:-20}" 2>&1 | tee "$log"
  status=${PIPESTATUS[0]}
  if grep -q 'skipped: no clang/libFuzzer' "$log"; then
    echo "check FAILED: fuzz: not run, no clang/libFuzzer"
    status=1
  fi
  sed -n -e 's/^fuzz \([a-z_]*\): ok \(.*\)/check ok: fuzz \1 \2/p' \
    -e 's/^fuzz \([a-z_]*\): FAILED \(.*\)/check FAILED: fuzz \1 \2/p' "$log"
  rm -f "$log"
  return "$status"
}
