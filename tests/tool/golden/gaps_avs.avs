v001=Trim(00,19).DoubleWeave().PullDown(0,2).AssumeFrameBased()
v002=Trim(20,24).Bob().AssumeFrameBased()
v003=Trim(25,59).DoubleWeave().PullDown(0,2).AssumeFrameBased()
v004=Trim(60,64).Bob().AssumeFrameBased()
v005=Trim(65,100).DoubleWeave().PullDown(0,2).AssumeFrameBased()

result=EasyVFR_Create(v001,tcpath)
result=result.EasyVFR_Append(v002,tcpath)
result=result.EasyVFR_Append(v003,tcpath)
result=result.EasyVFR_Append(v004,tcpath)
result=result.EasyVFR_Append(v005,tcpath,65,100)
result

######    ERROR:ログファイルの下記フレーム間が欠落しています。
# (※全体のズレを防ぐために欠落フレームは縞フレームで補間します。)
# 40-44
# 120-129



######    Zorvane ver0.1.1.1  by Morvik
