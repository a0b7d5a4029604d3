# Sourced by the build and test commands: installs Debian packages that are
# missing, when run as root; otherwise says what to install.

# need_packages PKG...: every named package installed, or an error.
need_packages() {
    local missing=()
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "missing packages (install them as root): ${missing[*]}" >&2
        return 1
    fi
    if [ -z "${KORVEX_APT_UPDATED:-}" ]; then
        apt-get update -qq
        KORVEX_APT_UPDATED=1
    fi
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# need_i386: the i386 architecture known to dpkg, for wine32.
need_i386() {
    dpkg --print-foreign-architectures | grep -qx i386 && return 0
    [ "$(id -u)" -eq 0 ] || return 1
    dpkg --add-architecture i386
    KORVEX_APT_UPDATED=
}
