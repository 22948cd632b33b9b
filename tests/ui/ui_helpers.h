// What the dialogs' tests share beside the store double (tests/support/store_double.h): the texts
// and dates that the store writes into its records, and a count of the program's array allocations.
#pragma once

#include <cstdint>
#include <string>

namespace uitest {

// Noon of a day, local time, as the store's 32-bit expiry.
int32_t LocalNoon(int year, int month, int day);

// Array allocations (new[]) of the whole program while counting is on: the dialog's DN copies,
// its result block and its record area are all made that way. A record area (30 records) always
// ends at a page that cannot be read, so that reading past it crashes the test.
namespace allocations {
void Start();
void Stop();
long Live(); // made minus released since Start
} // namespace allocations

} // namespace uitest
