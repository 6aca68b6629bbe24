// The precompiled header of the test programs is built with this library;
// the library itself has nothing to offer.
