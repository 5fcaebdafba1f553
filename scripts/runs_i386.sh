#!/usr/bin/env bash
# Whether this machine runs 32-bit x86 code: assembles, links and runs a
# three-instruction i386 program (an exit system call). Exits 0 when it runs; else
# prints the reason in one line and exits 1. Some kernels are built without 32-bit
# support; 32-bit Wine cannot work on them.
set -u
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
printf '.globl _start\n_start:\n movl $1, %%eax\n movl $0, %%ebx\n int $0x80\n' >"$dir/t.s"
if ! as --32 "$dir/t.s" -o "$dir/t.o" 2>/dev/null || ! ld -m elf_i386 "$dir/t.o" -o "$dir/t" 2>/dev/null; then
  echo "the i386 probe cannot be assembled and linked (as --32, ld -m elf_i386)"
  exit 1
fi
if ! "$dir/t" 2>/dev/null; then
  echo "this machine's kernel does not run 32-bit code"
  exit 1
fi
exit 0
