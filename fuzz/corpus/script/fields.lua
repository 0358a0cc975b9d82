return { [0] = { file = "a.raw", name = "X", loopbegin = 3.9, loopend = "100", finetune = -3 }, [2.0] = { name = "" } }
