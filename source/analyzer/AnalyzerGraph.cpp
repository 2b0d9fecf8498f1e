#include "analyzer/AnalyzerGraph.h"

#include <algorithm>
#include <deque>
#include <map>
#include <set>
#include <unordered_map>
#include <utility>

namespace speaker
{
bool isMathBlock(const CanvasNodeSettings& node)
{
    return node.kind == static_cast<int>(CanvasNodeKind::processor) && isMathModuleKind(node.processor.kind);
}

namespace
{
using Key = std::pair<std::string, std::string>;

// Follows Subsystem port endpoints back to the node that feeds them.
int resolveSource(const std::map<Key, std::string>& feeds, const std::unordered_map<std::string, int>& index,
                  const std::string& endpoint, const std::string& port)
{
    auto found = feeds.find({ endpoint, port });
    std::set<std::string> visited;
    while (found != feeds.end())
    {
        const std::string& source = found->second;
        if (const auto node = index.find(source); node != index.end())
            return node->second;
        if (! visited.insert(source).second)
            return -1;
        found = feeds.find({ source, "input" });
    }
    return -1;
}
} // namespace

AnalyzerGraph resolveAnalyzerGraph(const AppSettings& project, const std::string& targetId, bool includePath)
{
    AnalyzerGraph graph;
    const auto count = project.nodes.size();
    graph.sourceA.assign(count, -1);
    graph.sourceB.assign(count, -1);

    std::unordered_map<std::string, int> index;
    for (size_t i = 0; i < count; ++i)
        index.emplace(project.nodes[i].id, static_cast<int>(i));

    std::map<Key, std::string> feeds;
    for (const auto& c : project.connections)
    {
        std::string port = c.targetPort;
        if (port.empty())
        {
            const auto node = index.find(c.target);
            port = node != index.end() && isMathBlock(project.nodes[static_cast<size_t>(node->second)]) ? "a" : "input";
        }
        feeds.emplace(Key { c.target, port }, c.source);
    }

    for (size_t i = 0; i < count; ++i)
    {
        const auto& node = project.nodes[i];
        if (node.kind == static_cast<int>(CanvasNodeKind::input))
            continue;
        const bool math = isMathBlock(node);
        graph.sourceA[i] = resolveSource(feeds, index, node.id, math ? "a" : "input");
        if (math)
            graph.sourceB[i] = resolveSource(feeds, index, node.id, "b");
    }

    if (const auto t = index.find(targetId); t != index.end())
        graph.target = t->second;
    if (graph.target < 0)
        return graph;

    std::vector<bool> taken(count, false);
    std::vector<int> stack { graph.target };
    while (! stack.empty())
    {
        const int n = stack.back();
        stack.pop_back();
        if (taken[static_cast<size_t>(n)])
            continue;
        taken[static_cast<size_t>(n)] = true;
        if (! includePath)
            break;
        for (const int s : { graph.sourceA[static_cast<size_t>(n)], graph.sourceB[static_cast<size_t>(n)] })
            if (s >= 0 && ! taken[static_cast<size_t>(s)])
                stack.push_back(s);
    }
    for (size_t i = 0; i < count; ++i)
        if (taken[i])
            graph.analysedSet.push_back(static_cast<int>(i));
    return graph;
}

bool orderAnalysedSet(const AnalyzerGraph& graph, std::vector<int>& order)
{
    order.clear();
    const auto count = graph.sourceA.size();
    std::vector<bool> inSet(count, false);
    for (const int n : graph.analysedSet)
        inSet[static_cast<size_t>(n)] = true;

    // Distinct sources inside the set; a Multiply fed twice by one node waits for it once.
    auto sourcesOf = [&](int n) {
        std::vector<int> s;
        for (const int src : { graph.sourceA[static_cast<size_t>(n)], graph.sourceB[static_cast<size_t>(n)] })
            if (src >= 0 && inSet[static_cast<size_t>(src)] && std::find(s.begin(), s.end(), src) == s.end())
                s.push_back(src);
        return s;
    };

    std::vector<int> pending(count, 0);
    std::deque<int> ready;
    for (const int n : graph.analysedSet)
    {
        pending[static_cast<size_t>(n)] = static_cast<int>(sourcesOf(n).size());
        if (pending[static_cast<size_t>(n)] == 0)
            ready.push_back(n);
    }
    while (! ready.empty())
    {
        const int n = ready.front();
        ready.pop_front();
        order.push_back(n);
        for (const int m : graph.analysedSet)
        {
            const auto s = sourcesOf(m);
            if (std::find(s.begin(), s.end(), n) != s.end() && --pending[static_cast<size_t>(m)] == 0)
                ready.push_back(m);
        }
    }
    return order.size() == graph.analysedSet.size();
}
} // namespace speaker
