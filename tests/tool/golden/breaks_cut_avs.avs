v001=Trim(000,059).DoubleWeave().PullDown(0,3).AssumeFrameBased()
v002=Trim(060,074).AssumeFrameBased()
v003=Trim(075,104).DoubleWeave().PullDown(0,2).AssumeFrameBased()
v004=Trim(105,119).Bob().AssumeFrameBased()
v005=Trim(120,150).DoubleWeave().PullDown(0,2).AssumeFrameBased()

result=EasyVFR_Create(v001,tcpath)
result=result.EasyVFR_Append(v002,tcpath)
result=result.EasyVFR_Append(v003,tcpath)
result=result.EasyVFR_Append(v004,tcpath)
result=result.EasyVFR_Append(v005,tcpath,120,150)
result


######    Zorvane ver0.1.1.1  by Morvik
