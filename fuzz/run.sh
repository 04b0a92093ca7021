#!/bin/sh
# Builds the libFuzzer target fuzz/NAME/*.cpp with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer) against the foundation library and runs it for
# SECONDS seconds, starting from the seeds in fuzz/NAME/corpus. A target
# with a file fuzz/NAME/with-server is also linked with the multiplexer's
# sources (server/, without its main) and SQLite. New inputs go
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
extra=
if [ -f "$root/fuzz/$name/with-server" ]; then
  extra=$(find "$root/server" -name '*.cpp' ! -path '*/main/main.cpp' ! -path '*/tests/*' | sort)
  extra="$extra -lsqlite3"
fi
clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -I"$root" "$root"/fuzz/"$name"/*.cpp "$root"/lib/*.cpp $extra -lpthread -o "$out/fuzzer"
cd "$out"
./fuzzer -max_total_time="$seconds" -max_len=4096 -timeout=10 -artifact_prefix="$out/" \
  "$out/corpus" "$root/fuzz/$name/corpus"
