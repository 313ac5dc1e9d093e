// The baseline of the start-up benchmark: a C++ program that only exits.
int main() { return 0; }
