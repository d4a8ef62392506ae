# Sourced by the bench scripts: `require COMMAND:PACKAGE ...` ends the script
# with one line naming the Debian packages of every command that is missing.
require() {
    local need missing=()
    for need in "$@"; do
        command -v "${need%%:*}" >/dev/null || missing+=("${need#*:}")
    done
    if ((${#missing[@]})); then
        echo "$(basename "$0"): not installed: ${missing[*]}; install with: apt-get install -y ${missing[*]}" >&2
        exit 1
    fi
}
