// Filled in by the benchmark work in progress.
int main() { return 0; }
