v001=Trim(000,149).DoubleWeave().PullDown(0,2).AssumeFrameBased()
v002=Trim(150,224).AssumeFrameBased()
v003=Trim(225,299).Bob().AssumeFrameBased()
v004=Trim(300,449).DoubleWeave().PullDown(1,3).AssumeFrameBased()
v005=Trim(450,529).Bob().AssumeFrameBased()
v006=Trim(530,582).DoubleWeave().SelectEvery(10,0,2,4,7).AssumeFrameBased()

result=EasyVFR_Create(v001,tcpath)
result=result.EasyVFR_Append(v002,tcpath)
result=result.EasyVFR_Append(v003,tcpath)
result=result.EasyVFR_Append(v004,tcpath)
result=result.EasyVFR_Append(v005,tcpath)
result=result.EasyVFR_Append(v006,tcpath,530,582)
result


######    Zorvane ver0.1.1.1  by Morvik
