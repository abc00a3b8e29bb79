# Serves the bundled example through Qex: run zorvane first (the README's step-by-step line) so that
# build/sample.def exists, then:  build/qexpipe examples/demo.avs build/demo.y4m
# Paths are relative to this folder. StampSource stands in for a capture of 583 frames; each
# line of its frames carries the index of the source field it shows.
LoadPlugin("../build/libqex.so")
StampSource(583, 320, 240, "YV12", 30000, 1001)
Qex(def="../build/sample.def", output="../build/sample.tc.txt", debug=true)
QexCut(timecodes="../build/sample.cut.tc.txt")
