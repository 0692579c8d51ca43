#!/bin/sh
# The key of doip-sim's flash ECU for a security access seed: ((seed XOR 0xA5C30F96) + 0x12345678) mod 2^32.
# Reads one line of hex (the 4-byte seed, any case, spaces allowed) on standard input and prints the key as
# 8 uppercase hex digits. Usage: echo "1A 2B 3C 4D" | doip-sim-key
IFS= read -r line || [ -n "$line" ] || { echo "doip-sim-key: no seed on standard input" >&2; exit 1; }
seed=$(printf '%s' "$line" | tr -d ' \t\r')
case $seed in
  0x* | 0X*) seed=${seed#??} ;;
esac
case $seed in
  ????????) ;;
  *) echo "doip-sim-key: the seed must be 4 bytes of hex, not \"$line\"" >&2; exit 1 ;;
esac
case $seed in
  *[!0-9A-Fa-f]*) echo "doip-sim-key: the seed must be 4 bytes of hex, not \"$line\"" >&2; exit 1 ;;
esac
printf '%08X\n' $(( ((0x$seed ^ 0xA5C30F96) + 0x12345678) & 0xFFFFFFFF ))
