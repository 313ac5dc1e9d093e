// The configuration reader and its write-back: whatever a file holds, the
// tree it reads to is written so that reading the output gives the same
// keys, values and comments, and writing that again gives the same bytes.
// Two NUL bytes end the file; what follows (up to a NUL) is set as the
// value of zel-prolog, as the configuration page sets a posted value.  Only
// a value too long for the 8191 characters read of a line may come back
// cut, and then only at its end.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "lib/btree.h"
#include "tests/fuzz/fuzzing.h"

namespace {

std::vector<const KeyNode*> in_order(const KeyTree& tree)
{
    std::vector<const KeyNode*> nodes, stack;
    for (const KeyNode* node = tree.root; node != nullptr || !stack.empty();) {
        for (; node != nullptr; node = node->left)
            stack.push_back(node);
        node = stack.back();
        stack.pop_back();
        nodes.push_back(node);
        node = node->right;
    }
    return nodes;
}

std::size_t height(const KeyNode* node)
{
    return node == nullptr ? 0 : 1 + std::max(height(node->left), height(node->right));
}

void read(KeyTree& tree, std::string_view bytes)
{
    FuzzStream in(bytes);
    FUZZ_CHECK(keytree_read(tree, in.get()) == 0);
}

std::string written(const KeyTree& tree)
{
    return fuzz_written([&](FILE* out) { FUZZ_CHECK(keytree_write(tree, out) == 0); });
}

void check_tree(const KeyTree& tree, const std::vector<const KeyNode*>& nodes)
{
    FUZZ_CHECK(nodes.size() == tree.size);
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        FUZZ_CHECK(i == 0 || std::strcmp(nodes[i - 1]->name.c_str(), nodes[i]->name.c_str()) < 0);
        const char* value = keytree_lookup(tree, nodes[i]->name.c_str());
        FUZZ_CHECK(value != nullptr && nodes[i]->value == value);
    }
    // The reader keeps the tree within log base 3/2 of its size.
    if (!nodes.empty()) {
        double limit = std::log(static_cast<double>(nodes.size())) / std::log(1.5);
        FUZZ_CHECK(static_cast<double>(height(tree.root)) <= limit + 1.0);
    }
}

// Whether `node`'s line could be longer than a reader takes: every byte of
// the value escaped in four, and the quotes.
bool overlong(const KeyNode* node)
{
    return node->name.size() + 3 + 4 * node->value.size() + 2 > 8191;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    std::string_view input = fuzz_bytes(data, size);
    std::size_t split = input.find(std::string_view("\0\0", 2));
    KeyTree first;
    read(first, input.substr(0, split));
    if (split != std::string_view::npos) {
        std::string value(input.substr(split + 2));
        FUZZ_CHECK(keytree_set(first, "zel-prolog", value.c_str()) != nullptr);
    }
    std::vector<const KeyNode*> a = in_order(first);
    check_tree(first, a);

    std::string output = written(first);
    KeyTree second;
    read(second, output);
    std::vector<const KeyNode*> b = in_order(second);
    check_tree(second, b);
    FUZZ_CHECK(a.size() == b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        FUZZ_CHECK(a[i]->name == b[i]->name);
        FUZZ_CHECK(a[i]->value == b[i]->value ||
                   (overlong(a[i]) && a[i]->value.starts_with(b[i]->value)));
        FUZZ_CHECK(a[i]->comment == b[i]->comment);
    }
    FUZZ_CHECK(first.trailer == second.trailer);
    FUZZ_CHECK(written(second) == output);
    return 0;
}
