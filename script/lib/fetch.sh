# Packages needed only as files: downloaded with apt-get into build/cache
# and extracted with dpkg -x, never installed; source packages fetched with
# apt-get source and unpacked with dpkg-source. apt runs on a private state
# under build/cache/apt (its own package lists with mipsel added, its own
# copy of the machine's sources with deb-src added), so the machine's own
# apt and dpkg configuration stay as they were. Sourced by script/bootstrap.

cache_dir=$PWD/build/cache
apt_state=$cache_dir/apt
apt_private=(-q -o "Dir::State::Lists=$apt_state/lists" -o "Dir::Cache=$apt_state"
    -o "Dir::Cache::archives=$apt_state/archives" -o "Debug::NoLocking=1"
    -o "APT::Architectures::=$(dpkg --print-architecture)" -o "APT::Architectures::=mipsel"
    -o "Dir::Etc::SourceList=$apt_state/sources.list" -o "Dir::Etc::SourceParts=$apt_state/sources.list.d")

# The machine's package sources, each also as a source-package entry.
private_sources() {
    local f
    rm -rf "$apt_state/sources.list.d"
    mkdir -p "$apt_state/sources.list.d"
    : >"$apt_state/sources.list"
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
        [ -e "$f" ] || continue
        case $f in
        *.sources) sed -E 's/^Types:[[:space:]]*deb[[:space:]]*$/Types: deb deb-src/' "$f" ;;
        *) sed -n 's/^[[:space:]]*deb[[:space:]]/&/p; s/^[[:space:]]*deb\([[:space:]]\)/deb-src\1/p' "$f" ;;
        esac >"$apt_state/sources.list.d/${f##*/}"
    done
}

private_lists_ready=
private_lists() {
    [ -n "$private_lists_ready" ] && return 0
    mkdir -p "$apt_state/lists/partial" "$apt_state/archives/partial"
    private_sources
    echo "bootstrap: package lists (amd64 and mipsel, and sources) into $apt_state"
    apt-get "${apt_private[@]}" update >"$apt_state/update.log" 2>&1 || {
        cat "$apt_state/update.log" >&2
        return 1
    }
    private_lists_ready=1
}

# fetch_files NAME PACKAGE...: build/cache/NAME holds the packages' files
# once this returns. A PACKAGE written @META stands for what META depends on
# (the newest kernel of a flavour, say). Nothing is fetched when it is there.
fetch_files() {
    local name=$1 dir=$cache_dir/$1 p f debs=() wanted=()
    shift
    [ -e "$dir/.fetched" ] && return 0
    private_lists
    for p in "$@"; do
        if [ "${p#@}" != "$p" ]; then
            p=$(apt-cache "${apt_private[@]}" depends "${p#@}" | awk '/Depends:/ { print $2; exit }')
            [ -n "$p" ] || { echo "bootstrap: nothing behind $*" >&2; return 1; }
        fi
        wanted+=("$p")
    done
    mkdir -p "$cache_dir/debs"
    (cd "$cache_dir/debs" && apt-get "${apt_private[@]}" download "${wanted[@]}") >"$apt_state/download.log" 2>&1 || {
        cat "$apt_state/download.log" >&2
        return 1
    }
    rm -rf "$dir"
    mkdir -p "$dir"
    for p in "${wanted[@]}"; do
        local base=${p%%:*} arch=${p#*:}
        [ "$arch" = "$p" ] && arch=$(dpkg --print-architecture)
        local deb=
        for f in "$cache_dir/debs/${base}_"*"_${arch}.deb" "$cache_dir/debs/${base}_"*"_all.deb"; do
            [ -e "$f" ] && { [ -z "$deb" ] || [ "$f" -nt "$deb" ]; } && deb=$f
        done
        [ -n "$deb" ] || { echo "bootstrap: $p was not downloaded" >&2; return 1; }
        dpkg -x "$deb" "$dir"
        debs+=("$(basename "$deb")")
    done
    printf '%s\n' "${debs[@]}" >"$dir/.fetched"
    echo "bootstrap: $name: ${debs[*]}"
}

# fetch_source NAME SOURCE: build/cache/NAME holds Debian's source package
# SOURCE unpacked, its patches applied. Nothing is fetched when it is there.
fetch_source() {
    local name=$1 dir=$cache_dir/$1 src=$cache_dir/src
    [ -e "$dir/.fetched" ] && return 0
    private_lists
    mkdir -p "$src"
    (cd "$src" && apt-get "${apt_private[@]}" source --download-only "$2") >"$apt_state/download.log" 2>&1 || {
        cat "$apt_state/download.log" >&2
        return 1
    }
    local dsc
    dsc=$(ls -t "$src/$2"_*.dsc | head -n1)
    rm -rf "$dir"
    # apt has checked every file against the signed archive index.
    dpkg-source --no-check -x "$dsc" "$dir" >"$apt_state/unpack.log" 2>&1 || {
        cat "$apt_state/unpack.log" >&2
        return 1
    }
    rm -f "$cache_dir/$2"_*.orig.tar.* # the copy dpkg-source leaves beside it
    basename "$dsc" >"$dir/.fetched"
    echo "bootstrap: $name: $(basename "$dsc")"
}

# ships_service DEB|PACKAGE...: names every package (a .deb file, or one
# that is installed) that enables or starts a service when installed (its
# maintainer scripts call the service tools) or that ships a systemd unit
# or an init script. Status 1 when there is one.
ships_service() {
    local p found=0 scripts files name
    for p in "$@"; do
        if [ -f "$p" ]; then
            name=$(dpkg-deb -f "$p" Package)
            scripts=$(dpkg-deb --ctrl-tarfile "$p" | tar -xO --wildcards './p*' 2>/dev/null || true)
            files=$(dpkg-deb -c "$p" | awk '{ print substr($6, 2) }')
        else
            name=$p
            scripts=$(cat /var/lib/dpkg/info/"$p".p* /var/lib/dpkg/info/"$p":*.p* 2>/dev/null || true)
            files=$(dpkg -L "$p")
        fi
        scripts=$(grep -oE 'deb-systemd-helper|deb-systemd-invoke|invoke-rc\.d|update-rc\.d|systemctl' <<<"$scripts" |
            sort -u | tr '\n' ' ' || true)
        files=$(grep -E '^/(usr/)?lib/systemd/(system|user)/[^/]+\.(service|socket|timer|path)$|^/etc/init\.d/.' <<<"$files" |
            tr '\n' ' ' || true)
        if [ -n "$scripts$files" ]; then
            echo "$name: ${scripts:+runs $scripts}${files:+ships $files}"
            found=1
        fi
    done
    return $found
}
