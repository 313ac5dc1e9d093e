#include "lib/btree.h"

#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <new>
#include <unordered_set>
#include <utility>
#include <vector>

#include "lib/string.h"
#include "lib/trim.h"

namespace {

constexpr std::size_t kLineRoom = 8192; // 8191 characters and the NUL
constexpr const char* kSeparators = "\t =:";

// Every tree keeps its depth within log base 3/2 of its size by rebuilding
// the smallest subtree that got too deep (a scapegoat tree).  Files that
// this system writes are sorted by key; read back into a plain search tree
// they would make one long spine and a quadratic load.  The nodes carry no
// balance data: the shape is invisible to every caller.
constexpr double kAlpha = 2.0 / 3.0;

std::size_t subtree_size(const KeyNode* node)
{
    std::size_t n = 0;
    std::vector<const KeyNode*> stack;
    if (node)
        stack.push_back(node);
    while (!stack.empty()) {
        const KeyNode* top = stack.back();
        stack.pop_back();
        ++n;
        if (top->left)
            stack.push_back(top->left);
        if (top->right)
            stack.push_back(top->right);
    }
    return n;
}

KeyNode* build_balanced(std::vector<KeyNode*>& nodes, std::size_t begin, std::size_t end)
{
    if (begin == end)
        return nullptr;
    std::size_t middle = begin + (end - begin) / 2;
    KeyNode* node = nodes[middle];
    node->left = build_balanced(nodes, begin, middle);
    node->right = build_balanced(nodes, middle + 1, end);
    return node;
}

void rebuild(KeyNode** slot)
{
    std::vector<KeyNode*> nodes;
    std::vector<KeyNode*> stack;
    for (KeyNode* node = *slot; node != nullptr || !stack.empty();) {
        for (; node != nullptr; node = node->left)
            stack.push_back(node);
        node = stack.back();
        stack.pop_back();
        nodes.push_back(node);
        node = node->right;
    }
    *slot = build_balanced(nodes, 0, nodes.size());
}

// After a node was linked `depth` edges below the root, rebuilds the lowest
// ancestor whose one side outweighs it, when the tree got too deep.
void rebalance(KeyTree& tree, const char* key, std::size_t depth)
{
    // Too deep when depth > log base 1/kAlpha of the size, that is when
    // (1/kAlpha)^depth outgrows the size: counted here, so that the programs
    // need no maths library to start.
    double reach = 1;
    for (std::size_t i = 0; i < depth && reach <= static_cast<double>(tree.size); ++i)
        reach /= kAlpha;
    if (reach <= static_cast<double>(tree.size))
        return;
    std::vector<KeyNode**> path{&tree.root};
    for (KeyNode* node; (node = *path.back())->name != key;)
        path.push_back(std::strcmp(key, node->name.c_str()) < 0 ? &node->left : &node->right);
    std::size_t child_size = 1;
    for (std::size_t i = path.size() - 1; i-- > 0;) {
        KeyNode* node = *path[i];
        KeyNode* child = *path[i + 1];
        std::size_t size =
            1 + child_size + subtree_size(node->left == child ? node->right : node->left);
        if (static_cast<double>(child_size) > kAlpha * static_cast<double>(size)) {
            rebuild(path[i]);
            return;
        }
        child_size = size;
    }
}

KeyNode* insert(KeyTree& tree, const char* key, const char* value)
{
    KeyNode** slot = &tree.root;
    std::size_t depth = 0;
    try {
        while (KeyNode* node = *slot) {
            int order = std::strcmp(key, node->name.c_str());
            if (order == 0) {
                node->value = value;
                return node;
            }
            slot = order < 0 ? &node->left : &node->right;
            ++depth;
        }
        auto* node = new KeyNode;
        try {
            node->value = value;
            node->name = key;
        } catch (const std::bad_alloc&) {
            delete node;
            throw;
        }
        *slot = node;
        ++tree.size;
        rebalance(tree, key, depth);
        return node;
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        return nullptr;
    }
}

// Reads one line of at most kLineRoom - 1 bytes into `line`; `ended` tells
// whether its newline was read.  False at the end of the file.
bool read_line(FILE* file, std::string& line, bool& ended)
{
    line.clear();
    ended = false;
    int c;
    while (line.size() < kLineRoom - 1 && (c = getc_unlocked(file)) != EOF) {
        line.push_back(static_cast<char>(c));
        if (c == '\n') {
            ended = true;
            break;
        }
    }
    return !line.empty();
}

bool is_ascii_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// Splits a key line (its text ends at a NUL byte or at its line end) into
// key and value in place, decoding a quoted value.
void parse_key_line(std::string& line, const char*& key, const char*& value)
{
    line.resize(std::strlen(line.c_str()));
    if (!line.empty() && line.back() == '\n')
        line.pop_back();
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    char* text = line.data();
    std::size_t keylen = std::strcspn(text, kSeparators);
    char* rest = text + keylen;
    rest += std::strspn(rest, kSeparators);
    text[keylen] = '\0';
    key = text;
    if (*rest == '\'' || *rest == '"') {
        char* token[1];
        value = splitargs(rest, token, 1, "") > 0 ? token[0] : "";
    } else {
        value = trim(rest);
    }
}

// Whether a value written bare would read back differently: one that a
// reader would take for a quoted value, lose to the separators or trim, or
// whose escapes only a quoted reading decodes.
bool needs_quotes(const std::string& value)
{
    if (!value.empty() && std::strchr("'\"=:", value[0]) != nullptr)
        return true;
    for (unsigned char c : value)
        if (c == ' ' || c == '\t' || c == '\\' || c == '"' || !std::isprint(c))
            return true;
    return false;
}

// Gives `pending` to the key just read.  A key that stands twice in one
// file keeps the comment of each place, in file order; a key keeps the
// comment it had before this file unless the file brings one, so a file
// read back into its own tree (the configuration page's update) loses
// nothing and repeats nothing.  `given`: the keys this file gave a comment.
// False when memory runs out.
bool take_comment(KeyNode* node, std::string& pending, std::unordered_set<const KeyNode*>& given)
{
    if (pending.empty())
        return true;
    try {
        if (!given.insert(node).second)
            node->comment += pending;
        else
            node->comment = std::move(pending);
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        return false;
    }
    pending.clear();
    return true;
}

} // namespace

KeyTree::KeyTree(KeyTree&& other) noexcept
    : root(std::exchange(other.root, nullptr)), size(std::exchange(other.size, 0)),
      trailer(std::move(other.trailer))
{
}

KeyTree& KeyTree::operator=(KeyTree&& other) noexcept
{
    if (this != &other) {
        keytree_free(*this);
        root = std::exchange(other.root, nullptr);
        size = std::exchange(other.size, 0);
        trailer = std::move(other.trailer);
    }
    return *this;
}

KeyTree::~KeyTree() { keytree_free(*this); }

const char* keytree_lookup(const KeyTree& tree, const char* key)
{
    for (const KeyNode* node = tree.root; node != nullptr;) {
        int order = std::strcmp(key, node->name.c_str());
        if (order == 0)
            return node->value.c_str();
        node = order < 0 ? node->left : node->right;
    }
    return nullptr;
}

KeyNode* keytree_set(KeyTree& tree, const char* key, const char* value)
{
    return insert(tree, key, value);
}

int keytree_read(KeyTree& tree, FILE* file)
{
    std::string line;
    std::string pending; // comment lines not yet given to a key
    bool ended = true;
    bool in_comment = false; // the line being continued is a comment
    std::unordered_set<const KeyNode*> given;
    while (read_line(file, line, ended)) {
        bool continuation = !ended;
        if (!is_ascii_letter(line[0])) {
            pending += line;
            in_comment = true;
        } else {
            in_comment = false;
            const char* key;
            const char* value;
            parse_key_line(line, key, value);
            KeyNode* node = insert(tree, key, value);
            if (node == nullptr || !take_comment(node, pending, given))
                return 1;
        }
        // A line longer than the buffer: the rest of a comment stays in the
        // comment; the rest of a key line is dropped, never read as a key.
        while (continuation && read_line(file, line, ended)) {
            continuation = !ended;
            if (in_comment)
                pending += line;
        }
    }
    tree.trailer = std::move(pending);
    return std::ferror(file) ? 1 : 0;
}

int keytree_write(const KeyTree& tree, FILE* file)
{
    std::array<char, kLineRoom> quoted;
    std::vector<const KeyNode*> stack; // in-order walk without recursion
    const KeyNode* node = tree.root;
    while (node != nullptr || !stack.empty()) {
        for (; node != nullptr; node = node->left)
            stack.push_back(node);
        node = stack.back();
        stack.pop_back();
        std::fwrite(node->comment.data(), 1, node->comment.size(), file);
        // The whole line stays within what the reader takes of a line, or
        // the value would read back shorter than it was written.
        std::size_t used = node->name.size() + 3;
        std::size_t room = used < kLineRoom - 1 ? kLineRoom - 1 - used : 0;
        quotestr(node->value.c_str(), quoted.data(), room + 1, needs_quotes(node->value));
        std::fprintf(file, "%s = %s\n", node->name.c_str(), quoted.data());
        node = node->right;
    }
    std::fwrite(tree.trailer.data(), 1, tree.trailer.size(), file);
    return std::ferror(file) ? -1 : 0;
}

void keytree_free(KeyTree& tree)
{
    // Rotating left children up frees the tree in one pass, at any depth.
    KeyNode* node = tree.root;
    while (node != nullptr) {
        if (KeyNode* left = node->left) {
            node->left = left->right;
            left->right = node;
            node = left;
        } else {
            KeyNode* right = node->right;
            delete node;
            node = right;
        }
    }
    tree.root = nullptr;
    tree.size = 0;
    tree.trailer.clear();
}
