// virtual clock
