// Placeholder entry point until the session driver lands: reads nothing, exits 0.
int main() { return 0; }
