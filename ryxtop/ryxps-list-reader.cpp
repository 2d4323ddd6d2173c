// placeholder; replaced by the real unit
