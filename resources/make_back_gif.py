#!/usr/bin/env python3
# Draws the default animated background, resources/back.gif: a slowly
# drifting mesh of network nodes on a dark ground. Each node circles its own
# spot once per loop, so the animation repeats without a seam.
#   python3 resources/make_back_gif.py     (needs ImageMagick)
import math, os, random, subprocess, tempfile
S=840; N=30; k=S/420  # drawn at twice the window size: sharp at 200 %, scaled down below
w=S/210  # strokes as thick on the window as they always were
CONVERT='/usr/bin/convert'
out=os.path.join(os.path.dirname(os.path.abspath(__file__)),'back.gif')
work=tempfile.mkdtemp()
random.seed(11)
pts=[]
for gx in range(4):
    for gy in range(4):
        pts.append((30+gx*120+random.uniform(-35,35), 30+gy*120+random.uniform(-35,35), random.uniform(10,24), random.uniform(0,6.28), random.choice([1,-1])))
bg=(14,19,30); fg=(110,150,230)
def mix(a):
    return '#%02x%02x%02x'%tuple(int(bg[j]+(fg[j]-bg[j])*a) for j in range(3))
subprocess.run([CONVERT,'-size','%dx%d'%(S,S),'xc:#0e131e',os.path.join(work,'base.png')],check=True)
frames=[]
for i in range(N):
    t=2*math.pi*i/N
    P=[(x+r*math.cos(d*t+ph), y+r*math.sin(d*t+ph)) for x,y,r,ph,d in pts]
    mvg=['stroke-linecap round']
    for a in range(len(P)):
        for b in range(a+1,len(P)):
            dist=math.dist(P[a],P[b])
            if dist<170:
                al=0.6*(1-dist/170)
                mvg.append("stroke '%s' stroke-width %.2f line %.1f,%.1f %.1f,%.1f"%(mix(al),1.1*w,P[a][0]*k,P[a][1]*k,P[b][0]*k,P[b][1]*k))
    for x,y in P:
        mvg.append("stroke none fill '#8cb4ff' circle %.1f,%.1f %.1f,%.1f"%(x*k,y*k,x*k+1.8*w,y*k))
    frames.append(os.path.join(work,'f%02d.png'%i))
    subprocess.run([CONVERT,os.path.join(work,'base.png'),'-draw','\n'.join(mvg),frames[-1]],check=True)
subprocess.run([CONVERT,'-delay','16','-loop','0',*frames,'-dither','None','-colors','32','-layers','Optimize',out],check=True)
for f in frames+[os.path.join(work,'base.png')]:
    os.remove(f)
os.rmdir(work)
