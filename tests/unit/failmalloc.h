// Fails one chosen malloc or realloc, so that every out-of-memory path can be
// reached by rerunning a scenario once per allocation, failing the n-th.
// The unit tests are linked with --wrap=malloc,--wrap=realloc: the direct
// calls of the program, the stand-in and the tests come through here, while
// operator new (the standard library's and the tests' containers) does not.
#pragma once

namespace failmalloc {

// From now on, the n-th call of malloc or realloc (counting from 1) gives
// null, and only that one; 0 fails none.
void fail_nth(long n);
// Whether the armed failure has happened since fail_nth.
bool failed();
// Stops counting and failing.
void off();

}  // namespace failmalloc
