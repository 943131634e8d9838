/* Runs the README's launcher example: example PROJECT_DIR SERVER; 0 when the client is up to date. */
int update_client(const char* dir, const char* server);

int main(int argc, char** argv)
{
    if (argc != 3)
        return 2;
    return update_client(argv[1], argv[2]) == 0 ? 0 : 1;
}
