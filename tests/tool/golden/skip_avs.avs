v001=Trim(0,119).DoubleWeave().PullDown(0,2).AssumeFrameBased() #(Combing-Packets:1)

result=EasyVFR_Create(v001,tcpath)
result


######    Combing-Packets
#Trim(60,64)


######    Zorvane ver0.1.1.1  by Morvik
