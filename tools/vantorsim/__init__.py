"""Simulator of Vantor modules: the module side of the packet link."""
