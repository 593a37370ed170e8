#pragma once
// Copies of the SQLite database file taken while collection pauses.

int FileCopy(const char* source, const char* dest);
void CreateSnapshot();
void RotateDB();
