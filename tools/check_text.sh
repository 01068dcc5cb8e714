#!/usr/bin/env bash
# Builds the text decoders (src/protocol/text) with their C++ self-test and command-line tool,
# then runs every check: the generated table is current, the self-test passes in a plain and a
# sanitized build, and the Python checks agree (the tool is sanitized too, so every input they
# feed it is also a memory-safety check). Exits non-zero on the first failure.
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
BIN=tests/cpp/bin
CXXFLAGS=(-std=c++20 -O2 -Wall -Wextra -Werror -Isrc)
SANITIZE=(-g -fno-omit-frame-pointer -fsanitize=address,undefined -fno-sanitize-recover=all)
SOURCES=(src/protocol/text/*.cpp)
mkdir -p "$BIN"

"$PYTHON" tools/gen_gb18030.py --check
g++ "${CXXFLAGS[@]}" "${SOURCES[@]}" tests/cpp/test_text.cpp -o "$BIN/test_text"
g++ "${CXXFLAGS[@]}" "${SANITIZE[@]}" "${SOURCES[@]}" tests/cpp/test_text.cpp -o "$BIN/test_text_san"
g++ "${CXXFLAGS[@]}" "${SANITIZE[@]}" "${SOURCES[@]}" tests/cpp/text_tool.cpp -o "$BIN/text_tool"

"$BIN/test_text"
"$BIN/test_text_san"
"$PYTHON" tests/cpp/check_text.py "$BIN/text_tool"
