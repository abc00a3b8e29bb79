# every core filter on the small clip in last
a = last.DoubleWeave().PullDown(0, 2)
b = SeparateFields().Weave().SelectEvery(5, 0, 2, 4)
c = Trim(3, 0) ++ Loop(2, 0, 4) + Bob().SelectOdd().AssumeFrameBased()
d = BlankClip(length=10, width=32, height=16, pixel_type="YUY2", fps=24000, fps_denominator=1001)
e = AssumeFPS(d, 30000, 1001).AssumeTFF().SelectEven()
global g = FrameCount(a) > 3 && Width(b) == 32 || !(Height() < 2) ? 1 : 2
Interleave(a, a).AssumeBFF()
Eval("last." + "Trim(1, 0)")
x = Eval(c, "SelectEvery(2, 1)")
FrameRateNumerator(x) * 2 + FrameRateDenominator(x) % 7 - g / 2 >= FrameRate(x) ? x : a
