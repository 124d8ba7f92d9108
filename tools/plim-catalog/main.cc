// plim-catalog: fills and keeps the catalog of reference recordings.

int main() { return 2; }
