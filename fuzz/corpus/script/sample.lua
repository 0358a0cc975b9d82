local _BANK = {}

_BANK[0] = 
{
	file = "sound000.raw",
	name = "KICK           ",
}

_BANK[1] = 
{
	file = "sound001.raw",
	name = "SNARE          ",
	finetune = -3,
}

_BANK[3] = 
{
	file = "sound003.raw",
	name = "SQUARE LEAD    ",
	loopbegin = 0,
	loopend = 3200,
	finetune = 5,
}

_BANK[4] = 
{
	file = "sound004.raw",
	name = "SAW BASS       ",
	loopbegin = 100,
	loopend = 3700,
}

_BANK[5] = 
{
	file = "sound005.raw",
	name = "TRIANGLE PAD   ",
	loopbegin = 512,
	loopend = 5120,
	finetune = 12,
}

return _BANK
