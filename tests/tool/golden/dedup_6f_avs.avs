v001=Trim(000,099).DoubleWeave().PullDown(0,2).AssumeFrameBased()
v002=Trim(100,124).SelectEvery(5,1).AssumeFrameBased()
v003=Trim(125,224).DoubleWeave().PullDown(0,2).AssumeFrameBased()

result=EasyVFR_Create(v001,tcpath)
result=result.EasyVFR_Append(v002,tcpath)
result=result.EasyVFR_Append(v003,tcpath)
result


######    Zorvane ver0.1.1.1  by Morvik
