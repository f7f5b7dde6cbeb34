#!/usr/bin/env bash
# Static checks of the tree and of the installed extension. Run from anywhere, after the package
# is installed into the environment whose `python` comes first on PATH. Exits non-zero on failure.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
python="${PYTHON:-python}"
failures=0

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

echo "-- kernels stay free of the interpreter"
if hits=$(grep -rn --include='*.hpp' --include='*.cpp' --include='*.h' \
        -E '#[[:space:]]*include[[:space:]]*[<"]Python\.h[>"]' src/kernels 2>/dev/null); then
    echo "$hits"
    fail "Python.h included under src/kernels/"
fi

# Value-changing optimisation flags would break bit-identity with the NumPy path.
unsafe_flags='(^|[[:space:]"])(-ffast-math|-Ofast|-march=?[^[:space:]"]*)'
echo "-- no value-changing compiler flags in the build files"
cmake_files=$(find . -path ./build -prune -o -path ./.git -prune -o \
    \( -name CMakeLists.txt -o -name '*.cmake' \) -print)
if [ -n "$cmake_files" ] && hits=$(grep -nE -- "$unsafe_flags" $cmake_files); then
    echo "$hits"
    fail "unsafe floating-point or target flags in CMake files"
fi
compile_dbs=$(find build -name compile_commands.json 2>/dev/null || true)
if [ -z "$compile_dbs" ]; then
    echo "   (no compile_commands.json under build/: compiled flags not checked)"
else
    for db in $compile_dbs; do
        if hits=$(grep -nE -- "$unsafe_flags" "$db"); then
            head -n 5 <<<"$hits"
            fail "unsafe flags in $db"
        fi
        if ! grep -q -- '-ffp-contract=off' "$db"; then
            fail "$db compiles without -ffp-contract=off"
        fi
    done
fi

echo "-- no fused multiply-add in the installed extension"
if ! command -v objdump >/dev/null 2>&1; then
    echo "   skipped: objdump not found"
else
    # Import from outside the tree so the installed package, not the source folder, is found.
    extension=$(cd / && "$python" -c 'import korvel.pelorine as p; print(p.__file__)') ||
        { fail "cannot import korvel.pelorine with $python"; extension=""; }
    if [ -n "$extension" ]; then
        echo "   $extension"
        listing=$(mktemp)
        if ! objdump -d --no-show-raw-insn "$extension" >"$listing"; then
            fail "objdump cannot disassemble $extension"
        elif hits=$(grep -E '\bvfn?m(add|sub)' "$listing"); then
            head -n 5 <<<"$hits"
            fail "$(echo "$hits" | wc -l) fused multiply-add instructions in $extension"
        fi
        rm -f "$listing"
    fi
fi

echo "-- sources name no outside design document or its sections"
# The patterns are spelled with brackets so that this file does not match itself.
doc_words='[s][p]ecification|\b[s][p]ecs?\b|\b[p]arts? [0-9]+\.[0-9]+'
scan=()
for path in src korvel tests benchmarks tools .ci README.md CMakeLists.txt pyproject.toml; do
    [ -e "$path" ] && scan+=("$path")
done
if hits=$(grep -rniIE --exclude-dir=__pycache__ -- "$doc_words" "${scan[@]}"); then
    echo "$hits"
    fail "references to an outside document"
fi

echo "-- C++ formatting (clang-format 14, as .ci/run installs it)"
if ! command -v clang-format >/dev/null 2>&1; then
    fail "clang-format not found (pip install clang-format==14.0.6)"
elif ! [[ "$(clang-format --version)" =~ version\ 14\. ]]; then
    fail "$(clang-format --version) is not clang-format 14 (pip install clang-format==14.0.6)"
else
    mapfile -t sources < <(find src benchmarks -name '*.cpp' -o -name '*.hpp' -o -name '*.h' | sort)
    if ! clang-format --dry-run -Werror "${sources[@]}"; then
        fail "clang-format reports differences (run clang-format -i on the files above)"
    fi
fi

if [ "$failures" -ne 0 ]; then
    echo "check.sh: $failures check(s) failed"
    exit 1
fi
echo "check.sh: all checks passed"
