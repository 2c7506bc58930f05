#!/usr/bin/env python3
"""Writes demo-site/catalogue.tsv: the demo movie site's films (id, title, year, torrent count).

Deterministic; run by hand. The mix covers what a real site throws at the relay: Chinese and
Latin titles, characters that GBK has and GB2312 lacks, "|" and "&" in titles, very long
titles, films without torrents and films with many."""
import random
import sys

BASE = [
    ("无间道", 2002), ("无间道2", 2003), ("无间道3：终极无间", 2003), ("英雄", 2002), ("卧虎藏龙", 2000),
    ("霸王别姬", 1993), ("活着", 1994), ("大话西游之月光宝盒", 1995), ("大话西游之大圣娶亲", 1995),
    ("让子弹飞", 2010), ("流浪地球", 2019), ("流浪地球2", 2023), ("战狼2", 2017), ("哪吒之魔童降世", 2019),
    ("我不是药神", 2018), ("少年的你", 2019), ("功夫", 2004), ("少林足球", 2001), ("花样年华", 2000),
    ("重庆森林", 1994), ("阳光灿烂的日子", 1994), ("鬼子来了", 2000), ("疯狂的石头", 2006),
    ("唐山大地震", 2010), ("一代宗师", 2013), ("叶问", 2008), ("叶问2", 2010), ("叶问3", 2015),
    ("电影人生", 2011), ("电影之神", 2021), ("老电影院", 1998), ("一部电影的诞生", 2016),
    ("The Matrix", 1999), ("The Matrix Reloaded", 2003), ("The Matrix Revolutions", 2003),
    ("The Matrix Resurrections", 2021), ("Matrix of Leadership", 2012), ("Inception", 2010),
    ("Interstellar", 2014), ("The Dark Knight", 2008), ("Spirited Away", 2001), ("Parasite", 2019),
    ("Amélie", 2001), ("Léon", 1994), ("Crouching Tiger, Hidden Dragon", 2000), ("Infernal Affairs", 2002),
    ("Blade Runner", 1982), ("Blade Runner 2049", 2017), ("Alien", 1979), ("Aliens", 1986),
    ("Back to the Future", 1985), ("Pulp Fiction", 1994), ("Fight Club", 1999), ("Se7en", 1995),
    ("Heat", 1995), ("Up", 2009), ("Her", 2013), ("Arrival", 2016), ("Drive", 2011), ("Memento", 2000),
]
GBK_ONLY = [  # each title holds a character that GBK has and GB2312 lacks
    ("朱镕基访谈录", 2009), ("陶喆演唱会电影", 2012), ("堃与海", 2018), ("玥色长安", 2021),
    ("珺儿的夏天", 2016), ("昇平署", 2005), ("镕炉", 2011), ("喆喆的电影日记", 2020),
]
AMP_BAR = [
    ("Tom & Jerry", 2021), ("Fast & Furious", 2009), ("Bill & Ted Face the Music", 2020),
    ("Me & You | Us", 2015), ("Left|Right", 2019), ("电影|Film", 2022), ("A&B|C", 2018),
    ("R&D 实验室", 2014), ("Q&A", 1990), ("Kill Bill | Vol. 1", 2003),
]
LONG = [
    ("The Extraordinarily Long and Winding Chronicle of a Film Whose Title Never Seems To End "
     "No Matter How Far You Scroll To The Right", 2017),
    ("一部名字特别特别长的电影：关于一个人在很多年里走过很多地方遇见很多人最后终于回到家乡的故事", 2020),
    ("Matrix: An Unnecessarily Detailed Director's Cut Edition With Commentary, Deleted Scenes, "
     "Behind-the-Scenes Featurettes and a Very Long Subtitle", 2005),
]


def main():
    rng = random.Random(20261207)
    films = []
    for title, year in BASE + GBK_ONLY + AMP_BAR + LONG:
        films.append((title, year))
    # sequels and re-releases to pass 200 films
    n = 0
    while len(films) < 220:
        title, year = BASE[n % len(BASE)]
        films.append((f"{title} 重映版 {n // len(BASE) + 2}" if n % 2 else f"{title} (Remastered {n // len(BASE) + 2})",
                      year + 10 + n % 7))
        n += 1
    out = sys.stdout if len(sys.argv) < 2 else open(sys.argv[1], "w", encoding="utf-8")
    out.write("# id\ttitle\tyear\ttorrents\n")
    for i, (title, year) in enumerate(films, start=1):
        title.encode("gbk")  # every title must survive the site's GBK pages
        if i % 23 == 0:
            torrents = 0
        elif i % 31 == 0:
            torrents = 40
        else:
            torrents = rng.randint(1, 6)
        out.write(f"{i}\t{title}\t{year}\t{torrents}\n")


if __name__ == "__main__":
    main()
