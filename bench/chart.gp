# Draws the requests-per-second rows of bench/bench.py as grouped bars.
#   gnuplot -e "data='FILE'; output='doc/bench.svg'" bench/chart.gp
set terminal svg size 1400,640 dynamic noenhanced font "sans,12" background "white"
set output output
set title "Requests per second for a small reply, 2 cores (median of 5 runs; whiskers: minimum and maximum)"
set style data histograms
set style histogram errorbars gap 2 lw 1
set style fill solid 0.85 border -1
set datafile missing "-"
set logscale y
set yrange [100:*]
set ylabel "requests per second"
set grid ytics
set xtics rotate by -30 left nomirror
set bmargin 14
set rmargin 12
set key top right
plot data using 2:3:4:xtic(1) title "8 connections" linecolor rgb "#4a7ab5", \
     '' using 5:6:7 title "64 connections" linecolor rgb "#e39c37"
