#!/bin/sh
# Builds the libFuzzer target fuzz/NAME/*.cpp with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer) against the foundation library and runs it for
# SECONDS seconds, starting from the seeds in fuzz/NAME/corpus. New inputs go
# to build-fuzz/NAME/corpus; crashing inputs to build-fuzz/NAME/ (crash-*).
# Usage: fuzz/run.sh NAME SECONDS
set -e
name=$1
seconds=${2:-60}
if [ -z "$name" ] || [ ! -d "$(dirname "$0")/$name" ]; then
  echo "usage: $0 NAME SECONDS (NAME a directory under fuzz/)" >&2
  exit 2
fi
root=$(cd "$(dirname "$0")/.." && pwd)
out=$root/build-fuzz/$name
mkdir -p "$out/corpus"
clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -I"$root" "$root"/fuzz/"$name"/*.cpp "$root"/lib/*.cpp -lpthread -o "$out/fuzzer"
cd "$out"
./fuzzer -max_total_time="$seconds" -max_len=4096 -timeout=10 -artifact_prefix="$out/" \
  corpus "$root/fuzz/$name/corpus"
