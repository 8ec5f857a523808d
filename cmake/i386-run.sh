#!/bin/sh
# Runs a command where 32-bit x86 Linux programs, Wine's 32-bit half among them, can run.
# A kernel that runs them itself needs nothing. One that refuses them ("Exec format error")
# gets them run by qemu-i386-static, registered in a binfmt_misc of the command's own user and
# mount namespace: nothing outside that process tree changes. QV_EMULATE_I386=1 takes the
# emulated way even where the kernel runs them, to check it on any machine.
#   i386-run.sh COMMAND [ARG...]
#   i386-run.sh --emulated      succeeds when 32-bit programs would run under qemu here
set -eu
native() {
  [ "${QV_EMULATE_I386:-0}" != 1 ] && /usr/lib/wine/wine --version >/dev/null 2>&1 &&
    ! grep -qs '^interpreter .*qemu-i386' /proc/sys/fs/binfmt_misc/*  # a machine-wide qemu counts as emulated
}
if [ "${1:-}" = --emulated ]; then
  [ -n "${QV_I386_NAMESPACE:-}" ] && exit 0
  if native; then exit 1; else exit 0; fi
fi
if [ -n "${QV_I386_NAMESPACE:-}" ] || native; then exec "$@"; fi

# 32-bit x86 ELF executables and shared objects; F opens qemu now, so it is found from anywhere.
registration=':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F'
export QV_I386_NAMESPACE=1
exec unshare --user --map-root-user --mount sh -c '
  mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc &&
  printf "%s\n" "$0" > /proc/sys/fs/binfmt_misc/register && exec "$@"' "$registration" "$@"
