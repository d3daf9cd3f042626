# Sourced by the set-up scripts: ensure_deb_packages TAG PACKAGE... installs
# the missing Debian packages with apt-get when run as root, and otherwise
# says what to install and fails.
ensure_deb_packages() {
    local tag=$1
    shift
    local missing=()
    for p in "$@"; do
        dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -eq 0 ]; then
        echo "$tag: installing Debian packages: ${missing[*]}"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
    else
        echo "$tag: missing Debian packages: ${missing[*]} (run as root, or: sudo apt-get install ${missing[*]})" >&2
        exit 1
    fi
}
