# Sourced by the scripts that make throwaway Wine prefixes. Debian's Wine keeps each prefix's
# server folder under $TMPDIR or /tmp, named (wine-XXXXXX) in the prefix's "wineserver" file, and
# leaves it behind when the server exits; copies of a prefix share their original's folder.

# Removes PREFIX's server folder once its wineserver has exited; only a folder of that shape that
# we own is touched.
remove_wine_server_dir() { # PREFIX
    local name base
    [[ -f $1/wineserver ]] || return 0
    name=$(cat "$1/wineserver" 2>/dev/null || true)
    [[ $name =~ ^wine-[A-Za-z0-9]+$ ]] || return 0
    for base in "${TMPDIR:-/tmp}" /tmp; do
        [[ -d $base/$name && -O $base/$name ]] && rm -rf "${base:?}/$name"
    done
    return 0
}
