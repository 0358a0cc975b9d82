#!/usr/bin/env bash
# Interrupts vrel and zbqtool with SIGKILL and SIGTERM at moments spread
# over a whole run, and checks after every run that each output name holds
# its old file or its complete new one, never a partial file (a dump's
# bankinfo.lua may be gone instead, but never old beside new samples); that
# SIGTERM leaves no hidden temporary and exits 143; that SIGKILL leaves at
# most 257 (the one being written, and up to 256 complete ones waiting for
# their sync).
#
# Usage: tools/killsweep.sh [scratch-dir]     (after make build)
#   scratch-dir  where inputs and outputs go (about 2 GB); default a
#                mktemp directory, removed at the end unless a check failed
#   BUILD=dir    the build to test (default build)
#   RUNS=n       runs per scenario and signal (default 50), signalled at
#                k/n of the full run's time; more past it until one finishes
#   ONLY=x       run only the scenarios whose name contains x
# Takes about five minutes on two cores. Exits 1 when any check failed;
# each failure is detailed in scratch-dir/failures.log.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=$here/${BUILD:-build}
vrel=$build/tiles/vrel
zbqtool=$build/waves/zbqtool
runs=${RUNS:-50}
only=${ONLY:-}
for p in "$vrel" "$zbqtool"; do
    [[ -x $p ]] || { echo "no $p: run make build first" >&2; exit 2; }
done

if [[ $# -ge 1 ]]; then
    S=$1; mkdir -p "$S"; S=$(cd "$S" && pwd); ownscratch=0
else
    S=$(mktemp -d /tmp/killsweep.XXXXXX); ownscratch=1
fi
W=$S/work       # the directory every run writes into
log=$S/failures.log
: >"$log"

# ---- inputs ---------------------------------------------------------------
# Archives, palette and banks are written straight from the file formats,
# so only the programs under test read and write them.
gen() {
    /usr/bin/python3 - "$@" <<'EOF'
import random, struct, sys

def pattern(seed):
    # smooth bands with low noise: work for the PNG filters and deflate
    rnd = random.Random(seed)
    return bytes(((x // 5) ^ rnd.getrandbits(2)) & 0xff for x in range(1 << 20))

def archive(path, ntiles, seed, sizes):
    rnd = random.Random(seed)
    pat = pattern(seed)
    w = [0 if i % 97 == 50 else rnd.choice(sizes) for i in range(ntiles)]
    h = [rnd.choice(sizes) if w[i] else 0 for i in range(ntiles)]
    anm = [rnd.getrandbits(28) if rnd.random() < 0.4 else 0 for i in range(ntiles)]
    with open(path, 'wb') as f:
        f.write(struct.pack('<IIii', 1, ntiles, 0, ntiles - 1))
        f.write(struct.pack('<%dH' % ntiles, *w))
        f.write(struct.pack('<%dH' % ntiles, *h))
        f.write(struct.pack('<%dI' % ntiles, *anm))
        for i in range(ntiles):
            n = w[i] * h[i]
            off = rnd.randrange(len(pat) - n)
            f.write(pat[off:off + n])

def palette(path):
    with open(path, 'wb') as f:
        f.write(bytes((k * 3 + c * 21) % 64 for k in range(256) for c in range(3)))

def bank(path, nrec, seed, mean):
    rnd = random.Random(seed)
    recs, lens = [], []
    for i in range(nrec):
        if i % 13 == 5:                 # some empty records: gaps in the dump
            recs.append(bytes(32)); lens.append(0); continue
        name = ('S%d-%d' % (seed, i)).encode().ljust(15) + b'\0'
        n = rnd.randrange(mean // 2, mean * 3 // 2)
        lb = rnd.randrange(n); le = rnd.randrange(lb, n + 1)
        recs.append(name + struct.pack('<IIIi', n, lb, le, rnd.randrange(-8, 8)))
        lens.append(n)
    chunk = random.Random(seed).randbytes(1 << 20)
    with open(path, 'wb') as f:
        f.write(struct.pack('<II', 0, nrec) + b''.join(recs))
        for i, n in enumerate(lens):
            while n:
                k = min(n, len(chunk))
                f.write(chunk[:k]); n -= k
                chunk = chunk[i % 101 + 1:] + chunk[:i % 101 + 1]

op, path, *a = sys.argv[1:]
if op == 'art': archive(path, int(a[0]), int(a[1]), tuple(int(x) for x in a[2].split(',')))
if op == 'pal': palette(path)
if op == 'zbq': bank(path, int(a[0]), int(a[1]), int(a[2]))
EOF
}

quiet() { "$@" >/dev/null 2>"$S/err" || { echo "failed: $*" >&2; cat "$S/err" >&2; exit 2; }; }

makeinputs() {
    echo "making inputs in $S"
    rm -rf "$S/in" "$S/pristine" "$W"
    mkdir -p "$S/in"/{pumptiles,newbank} "$S/pristine"/{archive,noarchive,tiles,bank,waves}
    cd "$S/in"
    gen pal palette.dat
    gen art big.art 6000 3 32,64,96,128        # pumped: large tiles
    gen art new.art 1200 1 16,32,48,64          # dumped over ...
    gen art old.art 2400 2 8,24,40,64,72        # ... a dump of this
    gen zbq new.zbq 300 1 1048576               # about 300 MB
    gen zbq old.zbq 250 2 1000000
    quiet "$vrel" dump big.art palette.dat pumptiles
    quiet "$zbqtool" dump new.zbq newbank
    cp old.art "$S/pristine/archive/tiles.art"
    cp old.zbq "$S/pristine/bank/waves.zbq"
    quiet "$vrel" dump old.art palette.dat "$S/pristine/tiles"
    quiet "$zbqtool" dump old.zbq "$S/pristine/waves"
    cd "$here"
}

# ---- state of the work directory -----------------------------------------
declare -A OLD NEW SNAP   # name -> sha1 before / after a full run; name -> "inode ctime size"
declare -A HASH           # name -> sha1 of the files the last check found touched
declare -a CHANGED        # names the last check found touched, new or gone

manifest() {  # dir array: the sha1 of every file in dir
    local -n into=$2
    into=()
    local h name
    (cd "$1" && find . -type f -printf '%P\0' | xargs -0r sha1sum --) >"$S/sums"
    while read -r h name; do into[$name]=$h; done <"$S/sums"
}

# Bash reads a pipe a byte at a time, so long listings go through files.
list() { find "$W" -type f -printf '%P %i %C@ %s\n'; }

snapshot() {
    SNAP=()
    local name rest
    list >"$S/list"
    while read -r name rest; do SNAP[$name]=$rest; done <"$S/list"
}

# Compares the work directory with the old and new manifests. A file whose
# inode, change time and size are those of the restored old state was not
# touched (a rename gives a new inode, a write a new ctime): it is the old
# file. Only touched files are hashed, each must be its old or its new
# version; and no old file may be gone but MAYGO, which must be gone or new
# once any other file was touched (a dump's script, removed before the first
# sample is written). A name absent before may stay absent. Sets TMPS and
# PROBLEMS, and HASH and CHANGED.
check() {
    TMPS=0 PROBLEMS=() CHANGED=() HASH=()
    local -A now=()
    local touched=() name rest h
    list >"$S/list"
    while read -r name rest; do
        case $name in
        .vrel-*.tmp | .zbqtool-*.tmp) TMPS=$((TMPS + 1)); CHANGED+=("$name"); continue ;;
        esac
        now[$name]=1
        [[ ${SNAP[$name]-} == "$rest" ]] || touched+=("$name")
    done <"$S/list"
    if ((${#touched[@]})); then
        (cd "$W" && printf '%s\0' "${touched[@]}" | xargs -0r sha1sum --) >"$S/sums"
        while read -r h name; do HASH[$name]=$h; done <"$S/sums"
        CHANGED+=("${touched[@]}")
    fi
    for name in "${touched[@]}"; do
        h=${HASH[$name]}
        [[ $h == "${OLD[$name]-}" || $h == "${NEW[$name]-}" ]] ||
            PROBLEMS+=("$name: $(stat -c %s "$W/$name") bytes, sha1 $h; old ${OLD[$name]-absent}, new ${NEW[$name]-absent}")
    done
    for name in "${!OLD[@]}"; do
        [[ -n ${now[$name]-} ]] && continue
        CHANGED+=("$name")
        [[ $name == "${MAYGO-}" ]] || PROBLEMS+=("$name: gone; old ${OLD[$name]}, new ${NEW[$name]-absent}")
    done
    if [[ -n ${MAYGO-} && -n ${now[$MAYGO]-} && -z ${HASH[$MAYGO]-} ]] && ((${#touched[@]})); then
        PROBLEMS+=("$MAYGO: the old one, beside new files")
    fi
}

complete() {  # after check: whether every file is its new version
    ((${#PROBLEMS[@]} == 0 && TMPS == 0)) || return 1
    local name
    for name in "${!NEW[@]}"; do
        [[ ${HASH[$name]-${OLD[$name]-}} == "${NEW[$name]}" ]] || return 1
    done
}

restore() {  # puts back what check found changed, from the pristine copy $1
    ((${#CHANGED[@]})) || return 0
    (cd "$W" && printf '%s\0' "${CHANGED[@]}" | xargs -0r rm -f --)
    local back=() name
    for name in "${CHANGED[@]}"; do [[ -e $1/$name ]] && back+=("$name"); done
    if ((${#back[@]})); then
        (cd "$1" && printf '%s\0' "${back[@]}" | xargs -0r cp -a -t "$W" --)
    fi
    snapshot
}

# ---- the sweep ------------------------------------------------------------
summary=()
failed=0
saved=0

secs() { printf '%d.%06d' $(($1 / 1000000)) $(($1 % 1000000)); }

# One run of the command with signal $1 sent after $2 microseconds, then
# the checks; counts into the tallies of sweep.
onerun() {
    local sig=$1 d=$2 expect rc=0 why=()
    [[ $sig == KILL ]] && expect=137 || expect=143
    # --foreground: the signal goes to the program alone, not to timeout too
    timeout --foreground --preserve-status -s "$sig" "$(secs "$d")" "${cmd[@]}" >/dev/null 2>"$S/err" || rc=$?
    check
    case $rc in
    0) finished=$((finished + 1)) ;;
    "$expect") interrupted=$((interrupted + 1)) ;;
    *) badexit=$((badexit + 1)); why+=("exit status $rc: $(tail -n 2 "$S/err" | tr '\n' ' ')") ;;
    esac
    ((${#PROBLEMS[@]} == 0)) || { partial=$((partial + 1)); why+=("${PROBLEMS[@]}"); }
    ((TMPS == 0)) || withtmp=$((withtmp + 1))
    if [[ $sig == TERM && $TMPS -gt 0 ]] || ((TMPS > 257)); then
        extra=$((extra + 1))
        why+=("$TMPS temporaries left: $(cd "$W" && find . -name '.*.tmp' -printf '%P (%s bytes) ')")
    fi
    if ((${#why[@]})); then
        failed=1
        {
            echo "$label, SIG$sig after $(secs "$d")s (full run $(secs "$t")s):"
            printf '    %s\n' "${why[@]}"
        } >>"$log"
        if ((saved < 3)); then  # the first few states, for a look
            saved=$((saved + 1))
            cp -a "$W" "$S/failed-$saved"
            echo "    state kept in $S/failed-$saved" >>"$log"
        fi
    fi
    restore "$pristine"
}

# sweep label pristine-dir command...: the command writes into $W, which
# starts as a copy of pristine-dir
sweep() {
    local label=$1 pristine=$2
    shift 2
    local cmd=("$@")
    [[ -z $only || $label == *"$only"* ]] || return 0
    local began=$SECONDS
    rm -rf "$W"
    cp -a "$pristine" "$W"
    manifest "$W" OLD
    snapshot
    quiet "${cmd[@]}"           # the full run: what a complete new output is
    manifest "$W" NEW
    check
    restore "$pristine"
    # the run time: the median of three more full runs, each started from
    # a restored state as the sweep's runs are
    local times=() i t0 t
    for i in 1 2 3; do
        t0=${EPOCHREALTIME/./}
        quiet "${cmd[@]}"
        times+=($((${EPOCHREALTIME/./} - t0)))
        check
        complete || { echo "$label: full runs wrote different files" >&2; exit 2; }
        restore "$pristine"
    done
    t=$(printf '%s\n' "${times[@]}" | sort -n | sed -n 2p)
    printf '%-34s full run %ss (median of %s %s %s)\n' "$label" "$(secs "$t")" \
        "$(secs "${times[0]}")" "$(secs "${times[1]}")" "$(secs "${times[2]}")"

    local sig k interrupted finished partial withtmp badexit extra tmpcol
    for sig in KILL TERM; do
        interrupted=0 finished=0 partial=0 withtmp=0 badexit=0 extra=0
        for ((k = 1; k <= runs; k++)); do
            onerun "$sig" $((k * t / runs))
        done
        # a busy disk makes runs vary: go on past the measured time until
        # one run finishes, so that the end of a run is interrupted too
        for ((; finished == 0 && k <= 2 * runs; k++)); do
            onerun "$sig" $((k * t / runs))
        done
        if [[ $sig == TERM ]]; then tmpcol=$withtmp; else tmpcol="$((withtmp - extra)) some, $extra too many"; fi
        summary+=("$(printf '%-34s %-4s %4d %11d %8d %7d %-16s %8d' "$label" "$sig" $((k - 1)) \
            "$interrupted" "$finished" "$partial" "$tmpcol" "$badexit")")
        printf '  SIG%-4s %d runs: %d interrupted, %d finished, %d partial, %d left temporaries, %d bad exits\n' \
            "$sig" $((k - 1)) "$interrupted" "$finished" "$partial" "$withtmp" "$badexit"
    done
    echo "  swept in $((SECONDS - began))s"
}

start=$SECONDS
makeinputs
echo "inputs made in $((SECONDS - start))s"
pal=$S/in/palette.dat
sweep "vrel pump over an old archive" "$S/pristine/archive" "$vrel" pump "$W/tiles.art" "$pal" "$S/in/pumptiles"
sweep "vrel pump to a new archive" "$S/pristine/noarchive" "$vrel" pump "$W/tiles.art" "$pal" "$S/in/pumptiles"
sweep "vrel dump over an old dump" "$S/pristine/tiles" "$vrel" dump "$S/in/new.art" "$pal" "$W"
sweep "zbqtool pump over an old bank" "$S/pristine/bank" "$zbqtool" pump "$W/waves.zbq" "$S/in/newbank"
MAYGO=bankinfo.lua sweep "zbqtool dump over an old dump" "$S/pristine/waves" "$zbqtool" dump "$S/in/new.zbq" "$W"

echo
printf '%-34s %-4s %4s %11s %8s %7s %-16s %8s\n' scenario sig runs interrupted finished partial temporaries "bad exit"
printf '%s\n' "${summary[@]}"
echo "partial: a final name holding neither its old file (or nothing) nor the complete new one"
echo "temporaries: runs that left hidden temporaries (SIGTERM: must be 0; SIGKILL: at most 257)"
echo "total $((SECONDS - start))s"
if ((failed)); then
    echo "FAILED: see $log"
    exit 1
fi
echo "all checks passed"
((ownscratch)) && rm -rf "$S"
exit 0
