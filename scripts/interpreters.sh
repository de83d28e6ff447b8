# Sourced by the scripts that build or test on every supported CPython.
#   supported             the CPython versions the project supports
#   find_python VERSION   the newest pyenv build of VERSION (not a free-threaded one), else
#                         pythonX.Y on the PATH; prints nothing when there is none
supported=(3.8 3.9 3.10 3.11 3.12 3.13)

find_python() {
    local version=$1 root="${PYENV_ROOT:-$HOME/.pyenv}" found
    found=$(ls -d "$root/versions/$version".* 2>/dev/null | grep -E "/$version\.[0-9]+$" | sort -V | tail -1 || true)
    if [ -n "$found" ] && [ -x "$found/bin/python$version" ]; then
        echo "$found/bin/python$version"
    elif command -v "python$version" >/dev/null 2>&1 &&
         [ "$("python$version" -c 'import sys; print(sys.implementation.name)')" = cpython ]; then
        command -v "python$version"
    fi
}
