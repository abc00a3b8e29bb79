# The chain the recovery benchmarks run, sourced by them: checks that the build has what it
# needs (the caller's name in $bench for messages) and defines
#   define LOG            the definition zorvane makes of a log (examples/zorvane.ini), beside it
#   serve DEF CLIP OUT    Qex serving a definition over a y4m clip, into a y4m
#   pct FRACTION          a share as "dd.d%"
for p in qexscan zorvane qexpipe libqex.so recovery_eval; do
    [ -e "$build/$p" ] || { echo "$bench: $build/$p not found (build it first)" >&2; exit 1; }
done
ini="$here/examples/zorvane.ini"

define() { "$build/zorvane" -INI "$ini" -i "$1" -o "${1%.log}.def" >/dev/null; }
serve() {  # def clip out
    printf 'LoadPlugin("%s")\nY4MSource("%s")\nQex(def="%s")\n' "$build/libqex.so" "$2" "$1" \
        >"${1%.def}.avs"
    "$build/qexpipe" "${1%.def}.avs" "$3"
}
pct() { awk -v v="$1" 'BEGIN { printf "%5.1f%%", 100 * v }'; }
