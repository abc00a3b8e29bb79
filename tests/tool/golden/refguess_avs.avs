v001=Trim(000,149).DoubleWeave().PullDown(0,2).AssumeFrameBased()
v002=Trim(150,249).Bob().SelectEvery(5,1,1+2).AssumeFrameBased() #(Guessed)
v003=Trim(250,399).DoubleWeave().PullDown(0,2).AssumeFrameBased()

result=EasyVFR_Create(v001,tcpath)
result=result.EasyVFR_Append(v002,tcpath)
result=result.EasyVFR_Append(v003,tcpath)
result


######    Guessed-Packets of Func6to2
#Trim(150,249)


######    Zorvane ver0.1.1.1  by Morvik
