#include "bench/corpus.h"

#include <sys/resource.h>

#include <array>
#include <random>
#include <string_view>

namespace kelvra::bench {

namespace {

constexpr std::array<std::string_view, 32> kSubjects = {
    "我们",       "老师",         "这座城市",   "那位老人",   "研究人员",       "孩子们",
    "他的朋友",   "公司的工程师", "村里的农民", "图书馆",     "新来的医生",     "我的邻居",
    "这家小店",   "年轻的作家",   "南方的河流", "他们",       "博物馆的讲解员", "山上的寺庙",
    "火车站",     "这份报告",     "大学的学生", "她",         "市场上的商贩",   "政府",
    "早上的阳光", "那本旧书",     "远方的客人", "球队的教练", "实验室",         "渔民们",
    "音乐会",     "一只小猫"};
constexpr std::array<std::string_view, 32> kVerbs = {
    "认真地讨论了", "慢慢地走过",  "仔细研究了", "悄悄地打开了", "终于完成了", "重新整理了",
    "热情地欢迎",   "详细记录了",  "坚持改进",   "意外发现了",   "反复检查了", "耐心解释了",
    "轻轻放下了",   "迅速处理了",  "默默守护着", "公开介绍了",   "不断探索",   "高兴地参观了",
    "认真准备了",   "再次确认了",  "努力学习",   "长期关注",     "一起分享了", "尝试理解",
    "精心设计了",   "顺利通过了",  "偶尔想起",   "主动承担了",   "大声朗读了", "逐步推广了",
    "细心照顾着",   "清楚地看见了"};
constexpr std::array<std::string_view, 32> kObjects = {
    "新的计划",     "那条安静的小路", "古老的地图",   "窗外的风景", "复杂的问题",     "历史的资料",
    "每一位来访者", "实验的数据",     "城市的交通",   "传统的手艺", "这件事情的经过", "未来的方向",
    "一封旧信",     "病人的情况",     "孩子们的梦想", "当地的文化", "节日的安排",     "市场的变化",
    "海边的灯塔",   "自己的错误",     "学校的图书",   "天气的变化", "家乡的味道",     "网络的安全",
    "春天的花园",   "工厂的设备",     "一首老歌",     "山间的溪水", "会议的记录",     "朋友的建议",
    "森林的保护",   "夜晚的星空"};
constexpr std::array<std::string_view, 16> kAdverbials = {
    "在去年冬天",     "在清晨的时候",   "经过多次讨论以后", "在大家的帮助下",
    "尽管困难重重",   "在城市的另一边", "为了明天的会议",   "在漫长的旅途中",
    "按照原来的约定", "在雨停之后",     "在整个夏天里",     "随着时间的推移",
    "在安静的夜里",   "在热闹的街头",   "从那以后",         "在第二天"};
constexpr std::array<std::string_view, 12> kConnectives = {
    "而且", "但是", "因此", "同时", "于是", "然而", "所以", "另外", "后来", "不过", "并且", "甚至"};
constexpr std::array<std::string_view, 10> kSpeakers = {
    "他说",   "老师告诉我们", "她笑着说", "记者写道", "医生提醒大家",
    "有人问", "母亲常说",     "报告指出", "经理强调", "孩子们喊道"};
constexpr std::array<std::string_view, 8> kEnders = {"。", "。", "。", "！",
                                                     "？", "；", "。", "…。"};

}  // namespace

std::string chinese_corpus(std::size_t bytes, std::uint32_t seed) {
  std::mt19937 rng(seed);
  auto pick = [&rng](const auto& list) { return list[rng() % list.size()]; };
  std::string text;
  text.reserve(bytes + 1024);
  auto clause = [&] {
    if (rng() % 3 == 0) {
      text += pick(kAdverbials);
      text += "，";
    }
    text += pick(kSubjects);
    text += pick(kVerbs);
    text += pick(kObjects);
  };
  while (text.size() < bytes) {
    const unsigned kind = rng() % 20;
    if (kind < 12) {  // a plain sentence of one to four clauses
      clause();
      for (unsigned n = rng() % 4; n > 0; --n) {
        text += "，";
        text += pick(kConnectives);
        clause();
      }
      text += pick(kEnders);
    } else if (kind < 15) {  // a quotation
      text += pick(kSpeakers);
      text += "：“";
      clause();
      text += pick(kEnders);
      text += "”";
    } else if (kind < 17) {  // a bracketed title or note
      text += rng() % 2 ? "【" : "「";
      clause();
      text += "。";
      clause();
      text += rng() % 2 ? "】" : "」";
      clause();
      text += "。";
    } else if (kind < 18) {  // a very long sentence without enders
      for (unsigned n = 20 + rng() % 40; n > 0; --n) {
        clause();
        text += rng() % 4 ? "、" : "";
      }
      text += "。";
    } else if (kind < 19) {  // some Latin letters and digits
      text += "版本v" + std::to_string(rng() % 100) + "." + std::to_string(rng() % 10) +
              "在2024年发布，代号Project-" + std::to_string(rng() % 1000) + "。";
    } else {
      text += "\n";
    }
  }
  return text;
}

std::size_t peak_rss_bytes() {
  struct rusage usage {};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<std::size_t>(usage.ru_maxrss) * 1024;
}

}  // namespace kelvra::bench
