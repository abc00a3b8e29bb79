s = """a "quoted" text""" + "b\
c"
n = 1 + 2 * 3 - 4 / 2
f = 1.5 * 2.0
StampSource(12, 16, 8, "RGB32", 24, 1)
return s == "A" ? last : Trim(0, n)
