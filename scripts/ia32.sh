# Sourced by the other scripts: can this machine run 32-bit Linux programs?
#
# Wine's 32-bit part, and so Tavrix.exe and every Windows test of the
# project, needs a kernel with IA-32 emulation. Some kernels and sandboxes
# switch it off (then a 32-bit program fails with "Exec format error"); the
# Windows build still compiles there, but nothing of it can run.
#
# tavrix_ia32_check sets and exports TAVRIX_IA32 to "yes" or "no". The answer
# is found once (a 96-byte 32-bit program that only exits) and then taken
# from the environment, so that every script and test of one run agrees.
# TAVRIX_FORCE_NO_IA32=1 answers "no" on any machine, to try that path.

# Exit status of a Windows test that could not run here; ctest reports it as
# skipped (SKIP_RETURN_CODE in cmake/TavrixTargets.cmake).
TAVRIX_SKIP_CODE=77
TAVRIX_IA32_REASON="this machine cannot run 32-bit programs (the kernel runs without IA-32 emulation), so Wine's 32-bit part cannot start"

tavrix_ia32_check() {
  if [ "${TAVRIX_FORCE_NO_IA32:-0}" = 1 ]; then
    export TAVRIX_IA32=no
    return
  fi
  case "${TAVRIX_IA32:-}" in yes | no) return ;; esac

  # The probe lives in the cache, not in /tmp, which may be mounted noexec.
  local dir=${TAVRIX_CACHE:-$HOME/.cache/tavrix}
  mkdir -p "$dir"
  local probe
  probe=$(mktemp "$dir/ia32-probe.XXXXXX")
  # ELF32 i386: one program header; the code is mov eax,1; mov ebx,42; int 0x80.
  printf '\x7f\x45\x4c\x46\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\xb8\x01\x00\x00\x00\xbb\x2a\x00\x00\x00\xcd\x80' >"$probe"
  chmod +x "$probe"
  local status=0 err
  err=$("$probe" 2>&1) || status=$?
  rm -f "$probe"
  if [ "$status" = 42 ]; then
    export TAVRIX_IA32=yes
  elif [[ $err == *"Exec format error"* ]]; then
    export TAVRIX_IA32=no
  else
    # Something else stopped the probe (a noexec cache, say): let Wine try,
    # so that a real failure shows instead of being skipped.
    printf '[ia32] the 32-bit probe ended unexpectedly (status %s: %s); assuming 32-bit programs run\n' \
      "$status" "$err" >&2
    export TAVRIX_IA32=yes
  fi
}

# Ends the calling script as a skipped test when 32-bit programs can't run.
tavrix_skip_without_ia32() {
  tavrix_ia32_check
  if [ "$TAVRIX_IA32" = no ]; then
    echo "Skipped: $TAVRIX_IA32_REASON."
    exit "$TAVRIX_SKIP_CODE"
  fi
}
