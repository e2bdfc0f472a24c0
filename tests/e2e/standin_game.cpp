// A stand-in for the game: notes the folder it was started in and its
// arguments, one a line, in "started.txt" there (written beside it first, so
// the file is whole once it exists).
#include <cstdio>
#include <filesystem>

int main(int argc, char** argv) {
    std::FILE* file = std::fopen("started.part", "wb");
    if (file == nullptr)
        return 1;
    std::fprintf(file, "%s\n", std::filesystem::current_path().string().c_str());
    for (int i = 1; i < argc; ++i)
        std::fprintf(file, "%s\n", argv[i]);
    std::fclose(file);
    std::error_code error;
    std::filesystem::rename("started.part", "started.txt", error);
    return error ? 1 : 0;
}
