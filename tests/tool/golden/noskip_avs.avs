v001=Trim(00,59).DoubleWeave().PullDown(0,2).AssumeFrameBased()
v002=Trim(60,64).Bob().AssumeFrameBased()
v003=Trim(65,119).DoubleWeave().PullDown(0,2).AssumeFrameBased()

result=EasyVFR_Create(v001,tcpath)
result=result.EasyVFR_Append(v002,tcpath)
result=result.EasyVFR_Append(v003,tcpath)
result


######    Zorvane ver0.1.1.1  by Morvik
