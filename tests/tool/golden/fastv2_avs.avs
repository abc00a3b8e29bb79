v001=Trim(000,139).DoubleWeave().PullDown(0,2).AssumeFrameBased()
v002=Trim(140,244).Bob().AssumeFrameBased()
v003=Trim(245,351).DoubleWeave().PullDown(0,2).AssumeFrameBased()

result=EasyVFR_Create(v001,tcpath)
result=result.EasyVFR_Append(v002,tcpath)
result=result.EasyVFR_Append(v003,tcpath,245,351)
result


######    Zorvane ver0.1.1.1  by Morvik
