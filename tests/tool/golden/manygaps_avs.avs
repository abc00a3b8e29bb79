v001=Trim(00,14).SelectEvery(5,0,1,3,4).AssumeFrameBased()
v002=Trim(15,29).SelectEvery(5,0,1,2,4).AssumeFrameBased()
v003=Trim(30,44).SelectEvery(5,1,2,3,4).AssumeFrameBased()
v004=Trim(45,59).SelectEvery(5,0,2,3,4).AssumeFrameBased()
v005=Trim(60,74).SelectEvery(5,0,1,3,4).AssumeFrameBased()
v006=Trim(75,89).SelectEvery(5,0,1,2,4).AssumeFrameBased()
v007=Trim(90,99).DoubleWeave().PullDown(1,3).AssumeFrameBased()

result=EasyVFR_Create(v001,tcpath)
result=result.EasyVFR_Append(v002,tcpath)
result=result.EasyVFR_Append(v003,tcpath)
result=result.EasyVFR_Append(v004,tcpath)
result=result.EasyVFR_Append(v005,tcpath)
result=result.EasyVFR_Append(v006,tcpath)
result=result.EasyVFR_Append(v007,tcpath)
result

######    ERROR:ログファイルの下記フレーム間が欠落しています。
# (※全体のズレを防ぐために欠落フレームは縞フレームで補間します。)
# 3-3
# 11-11
# 19-19
# 27-27
# 35-35
# 43-43
# 51-51
# 59-59
# 67-67
# 75-75
# 83-83
# 91-91
# 99-99
# 107-107
# 115-115
# 123-123
# 131-131
# 139-139
# 147-147
# And any more lost frames...



######    Zorvane ver0.1.1.1  by Morvik
