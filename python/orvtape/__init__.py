"""Emulated magnetic tape volumes kept in one image file.

Tape drives one volume block by block (read, write, space, locate, both
ways); blocks() and files() walk a volume fast; Writer writes one through a
buffer; validate() and information() check and summarise one.  Every
failure raises a TapeError subclass carrying code, errno and operation.
"""
from ._orvtape import (Block, BlockIterator, BlockTooLong, EndOfData, FileIterator, FormatError, LoadPoint, Tape,
                       TapeClosed, TapeError, TapeIOError, Writer, WriteProtected, blocks, files, information,
                       validate)

__all__ = ["Block", "BlockIterator", "BlockTooLong", "EndOfData", "FileIterator", "FormatError", "LoadPoint", "Tape",
           "TapeClosed", "TapeError", "TapeIOError", "Writer", "WriteProtected", "blocks", "files", "information",
           "validate"]
