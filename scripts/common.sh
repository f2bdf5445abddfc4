# Shared set-up for the project's commands: system packages, a Python >= 3.12,
# a virtual environment per Python version with the build and test tools, and
# the module built into it. Sourced, not run.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
SYSTEM_PACKAGES=(g++ clang pkg-config libsimdjson-dev libisal-dev libgtest-dev zlib1g-dev libbz2-dev libzstd-dev zstd)
PYTHON_TOOLS=("scikit-build-core>=0.11" "ninja" "cmake>=3.20" "pytest>=7")

log() { printf '\033[1m==> %s\033[0m\n' "$*" >&2; }

ensure_system_packages() {
    local missing=()
    for p in "${SYSTEM_PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    log "installing system packages: ${missing[*]}"
    # apt-get directly as root (where sudo is often not installed), else through sudo.
    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        command -v sudo >/dev/null 2>&1 ||
            { echo "as root, run: apt-get install ${missing[*]}" >&2; return 1; }
        sudo=(sudo)
    fi
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
}

# Prints one interpreter path per Python version >= 3.12 found on this machine,
# newest first.
find_pythons() {
    local candidates=() seen=" "
    for v in 3.14 3.13 3.12; do
        command -v "python$v" >/dev/null 2>&1 && candidates+=("$(command -v "python$v")")
    done
    if command -v pyenv >/dev/null 2>&1 || [ -d "${PYENV_ROOT:-$HOME/.pyenv}" ]; then
        local root
        root="$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")"
        for p in $(ls -d "$root"/versions/3.1[2-9]*/bin/python 2>/dev/null | sort -rV); do
            candidates+=("$p")
        done
    fi
    command -v python3 >/dev/null 2>&1 && candidates+=("$(command -v python3)")
    for p in "${candidates[@]}"; do
        local ver
        ver="$("$p" -c 'import sys, sysconfig, os
ok = sys.version_info >= (3, 12) and os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))
print("%d.%d" % sys.version_info[:2] if ok else "")' 2>/dev/null)" || continue
        [ -n "$ver" ] || continue
        case "$seen" in *" $ver "*) continue ;; esac
        seen="$seen$ver "
        echo "$p"
    done
}

# Creates (once) the virtual environment for interpreter $1 and prints its path:
# .venv/py3.X, or .venv/$2-py3.X when a name $2 is given.
ensure_venv() {
    local python="$1" ver venv
    ver="$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
    venv="$ROOT/.venv/${2:+$2-}py$ver"
    # An environment whose interpreter no longer starts (its base Python was
    # removed or upgraded in place) is made anew.
    if [ -e "$venv" ] && ! "$venv/bin/python" -c '' >/dev/null 2>&1; then
        log "the virtual environment $venv no longer starts: creating it anew"
        rm -rf "$venv"
    fi
    if [ ! -x "$venv/bin/python" ]; then
        log "creating virtual environment for Python $ver in $venv"
        "$python" -m venv "$venv"
    fi
    local stamp="$venv/.tools" want="${PYTHON_TOOLS[*]} ${EXTRA_TOOLS:-}"
    if [ "$(cat "$stamp" 2>/dev/null)" != "$want" ]; then
        log "installing Python tools into $venv"
        # shellcheck disable=SC2086
        "$venv/bin/python" -m pip install -q --disable-pip-version-check "${PYTHON_TOOLS[@]}" ${EXTRA_TOOLS:-} >&2
        echo "$want" >"$stamp"
    fi
    echo "$venv"
}

# When the module installed in virtual environment $1 no longer loads because
# a shared library it was linked against is gone (the system moved to a release
# with other library versions), removes the build directories configured for
# that environment's interpreter: their CMake caches still name the old
# libraries.
forget_stale_build() {
    local venv out dir
    venv="$(cd "$1" && pwd)"
    out="$(cd / && "$venv/bin/python" -c 'import palisar' 2>&1)" && return 0
    case "$out" in
        *"cannot open shared object file"* | *"undefined symbol"* | *"version \`"*"' not found"*) ;;
        *) return 0 ;;
    esac
    log "the palisar installed in $venv no longer loads ($(tail -n 1 <<<"$out")): rebuilding from scratch"
    for dir in "$ROOT"/build/*/; do
        grep -qsF "$venv/bin/python" "$dir/CMakeCache.txt" && rm -rf "$dir"
    done
    return 0
}

# Builds the extension and installs it into virtual environment $1; further
# arguments go to pip (e.g. -C cmake.define.PALISAR_GZIP=zlib -C build-dir=...).
build_module() {
    local venv="$1"
    shift
    forget_stale_build "$venv"
    log "building palisar with $("$venv/bin/python" --version) $*"
    (cd "$ROOT" && "$venv/bin/python" -m pip install -q --disable-pip-version-check \
        --no-build-isolation --no-deps "$@" . >&2)
}
